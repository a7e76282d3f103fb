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

// Applies the line-break option and replaces a field's first '|' by a
// space, in place, reporting each change. Returns the new length.
std::size_t clean_field(unsigned char* bytes, std::size_t length);

// The line-break option alone, for a field or a piece of one: applies it,
// reporting each line feed, and sets pipe to the first '|' of what is
// left, or to null. Returns the new length. clean_line_breaks does the
// same for bytes known to hold something to look at.
std::size_t clean_piece(unsigned char* bytes, std::size_t length, unsigned char*& pipe);
std::size_t clean_line_breaks(unsigned char* bytes, std::size_t length, unsigned char*& pipe);

// The rest of clean_field: the message that shows the field as it was, and
// its first '|', at pipe, made a space.
void replace_pipe(unsigned char* bytes, std::size_t length, unsigned char* pipe);
