// Record conversion: the two passes through the intermediate file
// (convert/intermediate.h), as the driver runs them. The first pass reads
// the input into it through the record splitter and the field path
// (convert/field.h); the finishing pass (convert/finish.h) writes the
// output from it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <new>
#include <system_error>

#include "convert/encoding.h"
#include "split/split.h"

enum pass_outcome : int {
    PASS_OK = 0,
    PASS_PARSE_FAILED,  // error holds libcsv's status; record, the record it stopped in
    PASS_INPUT_READ_FAILED,  // error holds the errno
    PASS_INPUT_INVALID,  // the input is not what it should be; error holds EILSEQ
    PASS_INTERMEDIATE_WRITE_FAILED,  // error holds the errno
    PASS_INTERMEDIATE_READ_FAILED,  // error holds the errno
    PASS_OUTPUT_WRITE_FAILED,  // error holds the errno
    PASS_SYSTEM_FAILED,  // memory or a thread could not be had; error holds the errno
    PASS_STOPPED,  // the other pass, running alongside, failed and says why
};

struct pass_report {
    pass_outcome outcome;
    int error;
    std::int64_t record;
    input_encoding encoding;  // what the input's first bytes said; a mark is not parsed
    std::int64_t unclosed_record;  // the record whose quoted field the input ended in, or 0
    const char* reason = nullptr;  // PASS_INPUT_INVALID: what is wrong, where the errno's text does not say
};

// Runs a pass, making a failure to get memory or a thread its report.
template <typename Pass> pass_report guarded_pass(Pass pass)
{
    try {
        return pass();
    } catch (const std::bad_alloc&) {
        return {PASS_SYSTEM_FAILED, ENOMEM, 0, ENCODING_BYTES, 0};
    } catch (const std::system_error& e) {
        return {PASS_SYSTEM_FAILED, e.code().value(), 0, ENCODING_BYTES, 0};
    }
}

// The first pass alone: the input into the intermediate file, all of it
// written out. Both are open descriptors.
pass_report run_first_pass(int input, int intermediate, const split_settings& settings = {});

// The finishing pass alone, after the first: the intermediate file, read
// from its start, into the output, all of it written out, in the input's
// encoding. Closes neither. What is read is given back to the system as
// the pass goes where release is a descriptor of the intermediate file
// open for writing. With write_back, the output is started on its way to
// storage as it is written (the durable mode).
pass_report finish_output(
    int intermediate, int output, input_encoding encoding = ENCODING_BYTES, int release = -1, bool write_back = false);

// Both passes at once, the finishing pass following the first on a thread
// of its own, where one can be had; else one after the other. The report
// is the first failure's, or the first pass's on success.
pass_report run_passes_together(
    int input, int intermediate, int output, const split_settings& settings, bool write_back = false);
