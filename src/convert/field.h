// The one path every field takes into the intermediate file, whichever
// reader found it: libcsv, the splitter's own readings, or a long field's
// pieces. Here a field is cleaned, its changes are reported and its bytes
// written; here alone run_counters move on.
#pragma once

#include <cstddef>

#include "convert/intermediate.h"
#include "split/split.h"

// The splitter's callbacks (libcsv's shapes for fields and records). data
// is the intermediate_writer.
void on_field(void* bytes, std::size_t length, void* data);
void on_record_end(int terminator, void* data);
void on_field_piece(void* bytes, std::size_t length, int kind, void* data);
std::size_t on_plain_stretch(const plain_stretch& stretch, void* data);
