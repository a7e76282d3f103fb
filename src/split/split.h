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
//
// No field is ever held whole past field_limit bytes: once libcsv holds
// more of one, the splitter reads the rest of that field itself, as libcsv
// would, and hands it on in pieces before its end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/kernels.h"

// Fills into with up to room bytes of input: how many came, 0 at the end of
// the input, or -1 to stop the split (a read error, or the caller's own
// reason, which it keeps itself).
using split_read = std::ptrdiff_t (*)(void* source, unsigned char* into, std::size_t room);

// libcsv's callback shapes. A field lies in a buffer the callback may change
// in place; the record callback gets the byte that ended the record, or -1
// for a last record without one.
using split_field = void (*)(void* bytes, std::size_t length, void* data);
using split_record = void (*)(int terminator, void* data);

// A long field's bytes before its end, which split_field then delivers as
// the last piece. PIECE_SURE bytes are the field's. Blanks at an unquoted
// field's end, or a closing quote and the blanks after it, are dropped or
// kept only as a later byte decides: those come as PIECE_PENDING, in one or
// more pieces, and are then kept (PIECE_KEPT) or dropped (PIECE_DROPPED),
// both of which come without bytes.
enum split_piece_kind : int { PIECE_SURE, PIECE_PENDING, PIECE_KEPT, PIECE_DROPPED };
using split_piece = void (*)(void* bytes, std::size_t length, int kind, void* data);

// Plain records may come a stretch at a time instead, which the callback
// walks with walk_stretch (split/stretch.h); it returns how many records
// the stretch held.
struct plain_stretch;
using split_stretch = std::size_t (*)(const plain_stretch& stretch, void* data);

// The most of one field held in memory. A few MiB in all, whatever the
// input: the block, libcsv's buffer up to this and a line, and the passes'
// fixed buffers.
inline constexpr std::size_t HELD_FIELD_LIMIT = std::size_t {1} << 20;

inline constexpr std::size_t SPLIT_BLOCK_SIZE = 128 * 1024;
inline constexpr std::size_t SPLIT_SMALLEST_BLOCK = 16;
inline constexpr std::size_t SPLIT_LARGEST_BLOCK = std::size_t {1} << 30;

struct split_settings {
    std::size_t block_size = SPLIT_BLOCK_SIZE;  // kept within the two limits above
    bool mark_line_breaks = false;  // stretches list line ends inside quotes as bytes to clean
    std::size_t field_limit = HELD_FIELD_LIMIT;  // at least 1; tests set a few bytes
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

// The callbacks and the data they get. on_stretch may be null: plain
// records then come a field at a time too.
struct deliver_to {
    split_field on_field;
    split_piece on_piece;
    split_record on_record;
    void* data;
    split_stretch on_stretch = nullptr;
};

split_report split_input(split_read read, void* source, const deliver_to& to, const split_settings& settings = {});
