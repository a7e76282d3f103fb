// Record conversion: the first pass's parser callbacks, field clean-up and
// the finishing pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "split/split.h"

inline constexpr std::size_t OUTPUT_BUFFER_SIZE = 131072;

// Collects bytes for a file and hands them over in large blocks, so that
// neither pass makes a system call per record or per field. The first
// failed write is kept, with its errno, and ends all further writing.
struct output_buffer {
    int fd;
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t used = 0;
    int error_number = 0;  // 0 while every write has succeeded

    explicit output_buffer(int target);

    // Writes out what is held; false once any write has failed.
    bool flush();

    void put(const unsigned char* data, std::size_t length);
    void put(char byte)
    {
        if (used == OUTPUT_BUFFER_SIZE && !flush())
            return;
        bytes[used++] = static_cast<unsigned char>(byte);
    }

    // The field in double quotes, each double quote inside it doubled.
    void put_quoted(const unsigned char* field, std::size_t length);
};

// What spreadsheet programs put at the start of "CSV UTF-8" files.
inline constexpr unsigned char BYTE_ORDER_MARK[] = {0xEF, 0xBB, 0xBF};

enum first_pass_outcome : int {
    PASS_OK = 0,
    PASS_PARSE_FAILED,  // error holds libcsv's status; record, the record it stopped in
    PASS_READ_FAILED,  // reading the input failed; error holds the errno
    PASS_WRITE_FAILED,  // error holds the errno of the failed write
};

struct first_pass_report {
    first_pass_outcome outcome;
    int error;
    std::int64_t record;
    bool byte_order_mark;  // the input began with one; it was not parsed
    std::int64_t unclosed_record;  // the record whose quoted field the input ended in, or 0
};

// The first pass: splits the input into records, through on_field and
// on_record_end into the intermediate file, and writes out all of it.
// Both are open descriptors. The settings are the splitter's.
first_pass_report run_first_pass(int input, int intermediate, const split_settings& settings = {});

// libcsv field callback. data is the intermediate file's output_buffer.
// Writes the field, cleaned and quoted, with a '|' before every field but a
// record's first.
void on_field(void* bytes, std::size_t length, void* data);

// libcsv record callback. data is the intermediate file's output_buffer.
// Ends the line, counts the record and shows progress every thousand
// records.
void on_record_end(int terminator, void* data);

// Applies the line-break option and replaces a field's first '|' by a
// space, in place, reporting each change. Returns the new length.
std::size_t clean_field(unsigned char* bytes, std::size_t length);

enum finish_result : int {
    FINISH_OK = 0,
    FINISH_READ_FAILED,  // reading the intermediate file; errno says why
    FINISH_WRITE_FAILED,  // writing the output; errno says why
};

struct finish_settings {
    bool byte_order_mark = false;  // written first: the input began with one
    bool portable_scan = false;  // the byte-by-byte scan instead of SSE2
};

// Turns the intermediate file into the output: each record's fields as they
// stand between their enclosing quotes, joined by '|', ending in CR LF.
// Reads the intermediate file from its start and writes out all it makes,
// but does not close either. On failure errno says why.
finish_result finish_output(int intermediate, int output, const finish_settings& settings = {});
