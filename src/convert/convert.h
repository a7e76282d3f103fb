// Record conversion: the first pass's parser callbacks, field clean-up and
// the finishing pass.
#pragma once

#include <cstddef>
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
finish_result finish_output(std::FILE* intermediate, std::FILE* output);
