#include "convert/finish.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "kernels/kernels.h"
#include "platform/platform.h"

namespace {

// The file is read in whole 4 KiB blocks. Each word is converted only once
// the byte after it has come, so up to a word is held back at a time; the
// padding takes the scans' and copies' excess. A word gives at most
// itself, and the kernel may store a word past what it keeps.
constexpr std::size_t PIECE = 127 * 4096;
constexpr std::size_t HELD = 64;
constexpr std::size_t PADDING = 64;
constexpr std::size_t ROOM = 2 * 64 + 16;
// What is read is not read again: its pages go back to the system a good
// piece at a time, rather than all at the close, and need never be written
// out.
constexpr std::uint64_t PAGE = 4096;
constexpr std::uint64_t RELEASE_STEP = 8 << 20;

// One finishing pass's state.
struct finishing {
    int intermediate;
    const finish_settings& settings;
    output_buffer out;
    input_encoding encoding;
    std::unique_ptr<unsigned char[]> in = std::make_unique<unsigned char[]>(HELD + PIECE + PADDING);
    finish_carry carry {false, false};
    bool mark_written = false;
    std::size_t held = 0;  // bytes at in's start, read but not yet converted
    std::uint64_t offset = 0;  // of the next byte to read
    std::uint64_t released = 0;  // pages before this are given back
};

// What the first pass said when asked how far the file may be read.
struct readable_part {
    std::size_t bytes;
    bool stopped;  // the first pass failed
    std::uint64_t held_from;  // no page from here on may be given back
};

// How much may be read from the offset on, at most PIECE: all of it when
// no first pass is running; otherwise what it has written, waiting, when
// all of that is read, for a good piece more or for the pass's end.
readable_part readable(finishing& f)
{
    pass_handoff* const follow = f.settings.follow;
    if (follow == nullptr)
        return {PIECE, false, UINT64_MAX};
    std::unique_lock<std::mutex> hold(follow->lock);
    if (follow->written <= f.offset && !follow->ended) {
        follow->wanted = f.offset + 8 * PIECE;
        follow->moved.wait(hold, [&] { return follow->written >= follow->wanted || follow->ended; });
    }
    f.encoding = follow->encoding;
    const std::uint64_t more = follow->written - f.offset;
    return {more < PIECE ? static_cast<std::size_t>(more) : PIECE, follow->failed, follow->held_from};
}

// The output's mark, once the first pass has read the input's first
// bytes. For UTF-16 the mark, like all the rest, is encoded on its way
// out.
void write_mark(finishing& f)
{
    if (f.mark_written)
        return;
    if (is_utf16(f.encoding))
        f.out.with_utf16(f.encoding);
    if (f.encoding != ENCODING_BYTES)
        f.out.put(BYTE_ORDER_MARK, sizeof BYTE_ORDER_MARK);
    f.mark_written = true;
}

void give_back_pages(finishing& f, std::uint64_t held_from)
{
    const std::uint64_t done = std::min(f.offset, held_from) / PAGE * PAGE;
    if (f.settings.release >= 0 && done >= f.released + RELEASE_STEP) {
        release_file_range(f.settings.release, f.released, done);
        f.released = done;
    }
}

// Converts what is read: at the end every byte, before it only whole words
// with a byte after them, which are kept for the next read. False once a
// write has failed.
bool convert_read(finishing& f, std::size_t size, bool at_end)
{
    unsigned char* const in = f.in.get();
    std::memset(in + size, 0, PADDING);
    const std::size_t ready = at_end ? size : size == 0 ? 0 : (size - 1) / 64 * 64;
    for (std::size_t pos = 0; pos < ready;) {
        const std::span<unsigned char> room = f.out.room(ROOM);
        if (room.empty())
            return false;
        const std::size_t n = std::min(ready - pos, (room.size() - 64) / 64 * 64);
        f.out.keep_up_to(run_kernels.finish_words(in + pos, n, room.data(), f.carry));
        pos += n;
    }
    f.held = size - ready;
    std::memmove(in, in + ready, f.held);
    return true;
}

}  // namespace

pass_report finish_pass(int intermediate, int output, const finish_settings& settings)
{
    finishing f {intermediate, settings, output_buffer(output), settings.encoding};
    if (settings.write_back)
        f.out.start_writeback_as_written();
    for (;;) {
        const readable_part part = readable(f);
        if (part.stopped)
            return {PASS_STOPPED, 0, 0, f.encoding, 0};
        write_mark(f);
        const std::ptrdiff_t read
            = part.bytes == 0 ? 0 : read_some_at(intermediate, f.in.get() + f.held, part.bytes, f.offset);
        if (read < 0)
            return {PASS_INTERMEDIATE_READ_FAILED, errno, 0, f.encoding, 0};
        f.offset += static_cast<std::size_t>(read);
        give_back_pages(f, part.held_from);
        const bool at_end = read == 0;
        if (!convert_read(f, f.held + static_cast<std::size_t>(read), at_end) || at_end)
            break;
    }
    if (!f.out.flush(true))
        return {PASS_OUTPUT_WRITE_FAILED, f.out.error(), 0, f.encoding, 0};
    return {PASS_OK, 0, 0, f.encoding, 0};
}
