// Bytes collected for a file and handed over in large blocks, so that
// neither pass makes a system call per record or per field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "convert/encoding.h"

// Told of each block the buffer writes: the file's bytes [from, to) are
// written. data is the listener's own.
struct write_listener {
    void (*written)(void* data, std::uint64_t from, std::uint64_t to) = nullptr;
    void* data = nullptr;
};

inline constexpr std::size_t OUTPUT_BUFFER_SIZE = 524288;
// Room past the buffer's size for copies that store a little more than
// they keep.
inline constexpr std::size_t OUTPUT_SLACK = 128;
// How much output is written between two starts of writeback: enough that
// the disk gets long runs, little enough that few pages wait at the end.
inline constexpr std::uint64_t WRITEBACK_STEP = 8 << 20;

// The first failed write is kept, with its errno, and ends all further
// writing.
struct output_buffer {
    explicit output_buffer(int target);

    // Where the next byte put goes in the file.
    std::uint64_t position() const { return written + used; }
    // 0 while every write has succeeded.
    int error() const { return error_number; }
    int file() const { return fd; }

    // Bytes written to the file so far.
    std::uint64_t written_out() const { return written; }

    // Every block written from here on is told to the listener.
    void tell_writes_to(write_listener to) { listener = to; }

    // From here on, every WRITEBACK_STEP bytes written are started on their
    // way to storage (the durable mode); a failure to is a failed write.
    void start_writeback_as_written() { writeback = true; }

    // Held bytes go out as UTF-16 of the input's byte order from here on.
    void with_utf16(input_encoding utf16);

    // Writes out what is held; false once any write has failed. A UTF-8
    // sequence cut off at the end is held back for the next flush, unless
    // last.
    bool flush(bool last = false);

    // The free room, at least at_least bytes of it, written out first if
    // need be, and OUTPUT_SLACK more past its end that may be stored to
    // and not kept. Empty once a write has failed.
    std::span<unsigned char> room(std::size_t at_least)
    {
        if (OUTPUT_BUFFER_SIZE - used < at_least && !flush())
            return {};
        return room_left();
    }
    // The free room as it is, nothing written out for more.
    std::span<unsigned char> room_left() { return {bytes.get() + used, OUTPUT_BUFFER_SIZE - used}; }
    // The bytes from the room's start up to end are kept.
    void keep_up_to(const unsigned char* end) { used = static_cast<std::size_t>(end - bytes.get()); }

    void put(const unsigned char* data, std::size_t length);
    void put(char byte)
    {
        if (used == OUTPUT_BUFFER_SIZE && !flush())
            return;
        bytes[used++] = static_cast<unsigned char>(byte);
    }
    // The bytes with each double quote doubled, and no quotes around them.
    void put_doubled(const unsigned char* data, std::size_t length);

    // Takes the bytes from position on back, from the file too where they
    // have been written out.
    void take_back_to(std::uint64_t position);

private:
    int fd;
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t used = 0;
    int error_number = 0;
    std::uint64_t written = 0;  // bytes written to the file so far
    bool writeback = false;
    std::uint64_t written_back = 0;  // bytes started on their way to storage
    write_listener listener;
    input_encoding encoding = ENCODING_BYTES;
    std::unique_ptr<unsigned char[]> encoded;  // the UTF-16 of what is held, where written so
};
