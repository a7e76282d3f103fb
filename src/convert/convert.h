// Record conversion: the first pass's parser callbacks, field clean-up and
// the finishing pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

inline constexpr std::size_t OUTPUT_BUFFER_SIZE = 131072;

// Collects bytes for a file and hands them over in large blocks, so that
// neither pass makes a system call per record or per field. The first
// failed write is kept, with its errno, and ends all further writing.
struct output_buffer {
    std::FILE* file;
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t used = 0;
    int error_number = 0;  // 0 while every write has succeeded

    explicit output_buffer(std::FILE* target);

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

// The input is handed to the parser in pieces of this size.
inline constexpr std::size_t PIECE_SIZE = 1024;

// What spreadsheet programs put at the start of "CSV UTF-8" files.
inline constexpr unsigned char BYTE_ORDER_MARK[] = {0xEF, 0xBB, 0xBF};

enum first_pass_outcome : int {
    PASS_OK = 0,
    PASS_PARSE_FAILED,  // error holds libcsv's status; record, the record it stopped in
    PASS_READ_FAILED,   // the input's error indicator is set
    PASS_WRITE_FAILED,  // error holds the errno of the failed write
};

struct first_pass_report {
    first_pass_outcome outcome;
    int error;
    std::int64_t record;
    bool byte_order_mark;          // the input began with one; it was not parsed
    std::int64_t unclosed_record;  // the record whose quoted field the input ended in, or 0
};

// The first pass: parses the input, in pieces of PIECE_SIZE bytes, into the
// intermediate file through on_field and on_record_end, and flushes it.
first_pass_report run_first_pass(std::FILE* input, std::FILE* intermediate);

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

// Turns the intermediate file into the output: each record's fields as they
// stand between their enclosing quotes, joined by '|', ending in CR LF.
// Reads the intermediate file from its start; flushes but does not close the
// output. On failure errno says why.
// A byte-order mark, when asked for, comes first.
finish_result finish_output(std::FILE* intermediate, std::FILE* output, bool byte_order_mark = false);
