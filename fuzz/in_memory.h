// What the conversion fuzz targets share, and the unit tests that replay
// their corpus: both passes run in-process on files in memory, in an empty
// working directory of their own, so that an intermediate file left behind
// shows. The working directory is made by enter_working_directory (the
// fuzzers' LLVMFuzzerInitialize, defined with the rest, calls it) and goes
// when the process exits.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "convert/convert.h"

void enter_working_directory();

// Aborts, saying what, unless the condition holds.
void check(bool condition, const char* what);

// The line-break option a byte of the input chooses.
int line_break_mode_of(unsigned char choice);

struct in_memory_run {
    pass_report pass;
    pass_report finished;  // only where the first pass succeeded
    std::string output;
    std::string out;  // what the passes wrote to standard output
    std::string err;  // ...and to standard error
};

// The fuzz input's choice of the most of a field held whole: mostly a few
// bytes, so that nearly every field libcsv reads goes on in pieces.
std::size_t field_limit_of(unsigned char choice);

// The vector unit TROVANEX_VECTOR names (the widest by default), or, where
// choice is odd, the byte-by-byte reference.
vector_unit vector_unit_of(unsigned choice);

// Runs both passes over input with the given option, scans and splitter
// settings (block and field limit). Checks that nothing is left in the
// directory.
in_memory_run convert_in_memory(std::string_view input, int line_break_mode, std::size_t block_size,
    vector_unit split_unit, vector_unit finish_unit, std::size_t field_limit);
