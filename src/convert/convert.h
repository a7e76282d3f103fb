// Record conversion: the first pass's parser callbacks, field clean-up and
// the finishing pass.
#pragma once

#include <cstddef>
#include <cstdio>

// libcsv field callback. data is the intermediate file. Writes the field,
// cleaned and quoted, with a '|' before every field but a record's first.
void on_field(void* bytes, std::size_t length, void* data);

// libcsv record callback. data is the intermediate file. Ends the line,
// counts the record and shows progress every thousand records.
void on_record_end(int terminator, void* data);

// Applies the line-break option and replaces a field's first '|' by a
// space, in place, reporting each change. Returns the new length.
std::size_t clean_field(unsigned char* bytes, std::size_t length);

enum finish_result : int {
    FINISH_OK = 0,
    FINISH_READ_FAILED,   // reading the intermediate file; errno says why
    FINISH_WRITE_FAILED,  // writing the output; errno says why
};

// Turns the intermediate file into the output: each record's fields as they
// stand between their enclosing quotes, joined by '|', ending in CR LF.
// Reads the intermediate file from its start; flushes but does not close the
// output.
finish_result finish_output(std::FILE* intermediate, std::FILE* output);
