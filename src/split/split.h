// Record splitter: reads CSV input into fields and records exactly as libcsv
// does with options 0, but reads the records whose reading is certain
// itself, a block at a time, and hands libcsv only the rest.
//
// A record is read directly when every field in it is plain:
//   unquoted  no double quote in it; spaces and tabs around it dropped;
//   quoted    optional blanks, a quote, any bytes with each quote doubled,
//             the closing quote, then directly ',' or the record's end.
// CR and LF each end a record, and lines of nothing but blanks give none.
// Anything else, a record longer than the block and the input's last
// unterminated record go to libcsv from the record's start, and libcsv
// keeps the input until it has ended a record again.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills into with up to room bytes of input: how many came, 0 at the end of
// the input, or -1 to stop the split (a read error, or the caller's own
// reason, which it keeps itself).
using split_read = std::ptrdiff_t (*)(void* source, unsigned char* into, std::size_t room);

// libcsv's callback shapes. A field lies in a buffer the callback may change
// in place; the record callback gets the byte that ended the record, or -1
// for a last record without one.
using split_field = void (*)(void* bytes, std::size_t length, void* data);
using split_record = void (*)(int terminator, void* data);

inline constexpr std::size_t SPLIT_BLOCK_SIZE = 128 * 1024;
inline constexpr std::size_t SPLIT_SMALLEST_BLOCK = 16;
inline constexpr std::size_t SPLIT_LARGEST_BLOCK = std::size_t {1} << 30;

struct split_settings {
    std::size_t block_size = SPLIT_BLOCK_SIZE;  // kept within the two limits above
    bool portable_scan = false;  // the byte-by-byte scan instead of SSE2
};

enum split_outcome : int {
    SPLIT_OK = 0,
    SPLIT_PARSE_FAILED,  // error holds libcsv's status
    SPLIT_STOPPED,  // the read callback returned -1
};

struct split_report {
    split_outcome outcome;
    int error;
    std::int64_t records;  // records delivered, by either reader
    std::int64_t direct_records;  // of those, records read without libcsv
    bool unclosed;  // the input ended inside a quoted field, which the last record took in
};

split_report split_input(split_read read, void* source, split_field on_field, split_record on_record, void* data,
    const split_settings& settings = {});
