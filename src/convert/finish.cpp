#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/bits.h"
#include "convert/convert.h"
#include "platform/platform.h"

// The intermediate file holds each record's fields joined by '|' and ended
// by CR LF. A field that could hold a '|' or a line break stands in
// quotes, with its own quotes doubled; others stand bare and hold neither
// a quote nor a '|'. So counting quotes tells inside from outside: a quote
// that opens a field follows a separator, one that closes it comes before
// one, and a quote written doubled is a closing quote directly followed by
// an opening one. The output is the file with the enclosing quotes taken
// out, doubled ones kept, which the kernels work out 64 bytes at a time.

namespace {

// How much of the intermediate file may be read from offset, at most room:
// all of it when no first pass is running; otherwise what it has written,
// waiting, when all of that is read, for a good piece more or for the pass's
// end. stopped is set if it failed.
std::size_t readable(const finish_settings& settings, std::uint64_t offset, std::size_t room, input_encoding& encoding,
    bool& stopped, std::uint64_t& held_from)
{
    intermediate_progress* const follow = settings.follow;
    if (follow == nullptr)
        return room;
    std::unique_lock<std::mutex> hold(follow->lock);
    if (follow->written <= offset && !follow->ended) {
        // Nothing left to read: wait until a good piece more is written.
        follow->wanted = offset + 8 * room;
        follow->moved.wait(hold, [&] { return follow->written >= follow->wanted || follow->ended; });
    }
    stopped = follow->failed;
    encoding = follow->encoding;
    held_from = follow->held_from;
    const std::uint64_t more = follow->written - offset;
    return more < room ? static_cast<std::size_t>(more) : room;
}

finish_result failed(const finish_settings& settings, finish_outcome outcome, int error)
{
    if (settings.follow != nullptr)
        publish_finish_failed(*settings.follow);
    return {outcome, error};
}

}  // namespace

finish_result finish_output(int intermediate, int output, const finish_settings& settings)
{
    // The file is read in whole 4 KiB blocks. Each word is converted only
    // once the byte after it has come, so up to a word is held back at a
    // time; the padding takes the scans' and copies' excess. A word gives
    // at most itself, and the kernel may store a word past what it keeps.
    constexpr std::size_t PIECE = 127 * 4096;
    constexpr std::size_t HELD = 64;
    constexpr std::size_t PADDING = 64;
    constexpr std::size_t ROOM = 2 * 64 + 16;
    output_buffer out(output);
    const auto in = std::make_unique<unsigned char[]>(HELD + PIECE + PADDING);

    finish_carry c {false, false};
    input_encoding encoding = settings.encoding;
    bool mark_written = false;
    std::size_t held = 0;
    std::uint64_t offset = 0;
    constexpr std::uint64_t PAGE = 4096;
    constexpr std::uint64_t RELEASE_STEP = 8 << 20;
    std::uint64_t released = 0;
    for (;;) {
        bool stopped = false;
        std::uint64_t held_from = UINT64_MAX;
        const std::size_t room = readable(settings, offset, PIECE, encoding, stopped, held_from);
        if (stopped)
            return {FINISH_STOPPED, 0};
        if (!mark_written) {
            // Known once the first pass has read its first bytes. For UTF-16
            // the mark, like all the rest, is encoded on its way out.
            if (is_utf16(encoding))
                out.with_utf16(encoding);
            if (encoding != ENCODING_BYTES)
                out.put(BYTE_ORDER_MARK, sizeof BYTE_ORDER_MARK);
            mark_written = true;
        }
        const std::ptrdiff_t read = room == 0 ? 0 : read_some_at(intermediate, in.get() + held, room, offset);
        if (read < 0)
            return failed(settings, FINISH_READ_FAILED, errno);
        const bool at_end = read == 0;
        offset += static_cast<std::size_t>(read);
        // What is read is not read again: its pages go back to the system
        // a good piece at a time, rather than all at the close, and need
        // never be written out. The first pass may still read back from
        // held_from.
        if (const std::uint64_t done = std::min(offset, held_from) / PAGE * PAGE;
            settings.release >= 0 && done >= released + RELEASE_STEP) {
            release_file_range(settings.release, released, done);
            released = done;
        }
        const std::size_t size = held + static_cast<std::size_t>(read);
        std::memset(in.get() + size, 0, PADDING);
        // At the end every byte is converted; before it, only whole words
        // with a byte after them.
        const std::size_t ready = at_end ? size : size == 0 ? 0 : (size - 1) / 64 * 64;
        std::size_t pos = 0;
        while (pos < ready) {
            if (OUTPUT_BUFFER_SIZE - out.used < ROOM && !out.flush())
                break;
            const std::size_t fit = (OUTPUT_BUFFER_SIZE - out.used - 64) / 64 * 64;
            const std::size_t n = std::min(ready - pos, fit);
            unsigned char* const end = run_kernels.finish_words(in.get() + pos, n, out.bytes.get() + out.used, c);
            out.used = static_cast<std::size_t>(end - out.bytes.get());
            pos += n;
        }
        if (out.error_number != 0 || at_end)
            break;
        held = size - ready;
        std::memmove(in.get(), in.get() + ready, held);
    }
    if (!out.flush(true))
        return failed(settings, FINISH_WRITE_FAILED, out.error_number);
    return {FINISH_OK, 0};
}
