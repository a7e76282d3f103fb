// Fields too long to hold whole: written piece by piece as the splitter
// hands them on, each piece cleaned as a whole field would be, and shown,
// where their '|' was replaced, by reading them back from the intermediate
// file rather than from memory.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "common/bits.h"
#include "common/common.h"
#include "convert/convert.h"
#include "platform/platform.h"

intermediate_writer::intermediate_writer(int fd)
    : out(fd)
{
}

intermediate_writer::~intermediate_writer()
{
    if (reader >= 0)
        close_file(reader);
}

namespace {

// A long field's first piece begins it as on_field would.
void open_field(intermediate_writer& w)
{
    if (w.field_open)
        return;
    run_counters.field_number += 1;
    if (run_counters.field_number > 1)
        w.out.put('|');
    w.out.put('"');
    w.field_open = true;
    w.pipe_replaced = false;
    w.field_start = w.out.position();
    if (w.out.progress != nullptr)
        publish_held_from(*w.out.progress, w.field_start);
}

// The field's first '|', in whichever piece it lies, becomes a space, and
// where that space went is noted for the message.
void put_piece(intermediate_writer& w, unsigned char* bytes, std::size_t length)
{
    unsigned char* pipe = nullptr;
    length = clean_piece(bytes, length, pipe);
    if (pipe != nullptr && !w.pipe_replaced) {
        const auto before = static_cast<std::size_t>(pipe - bytes);
        w.out.put_doubled(bytes, before);
        w.pipe_at = w.out.position();
        w.out.put(' ');
        w.pipe_replaced = true;
        bytes += before + 1;
        length -= before + 1;
    }
    w.out.put_doubled(bytes, length);
}

// How much of the bytes ends with a whole UTF-8 sequence, so that a
// console, which is given each write as text, never sees a character cut
// in two.
std::size_t whole_sequences(const unsigned char* bytes, std::size_t length)
{
    for (std::size_t back = 1; back <= 3 && back <= length; ++back) {
        const unsigned char c = bytes[length - back];
        if ((c & 0xC0) == 0x80)
            continue;
        const std::size_t needed = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return needed > back ? length - back : length;
    }
    return length;
}

// The pipe message for the field that ends at end in the intermediate
// file: read back a block at a time, each doubled quote made one again and
// the space made the '|' it was.
void show_field(intermediate_writer& w, std::uint64_t end)
{
    if (!w.out.flush())
        return;  // the failed write stops the pass
    if (w.reader < 0 && (w.reader = reopen_for_reading(w.out.fd)) < 0) {
        w.read_error = errno;
        return;
    }
    report_pipe_heading();
    constexpr std::size_t BLOCK = 65536;
    constexpr std::size_t CARRIED = 3;  // at most, of a UTF-8 sequence cut off
    const auto block = std::make_unique_for_overwrite<unsigned char[]>(CARRIED + BLOCK);
    std::size_t carried = 0;
    bool second_quote = false;  // the block begins with the second quote of a pair
    for (std::uint64_t at = w.field_start; at < end;) {
        unsigned char* const read_to = block.get() + carried;
        const std::ptrdiff_t got = read_some_at(w.reader, read_to, std::min<std::uint64_t>(BLOCK, end - at), at);
        if (got <= 0) {
            w.read_error = got < 0 ? errno : EIO;
            return;
        }
        const auto n = static_cast<std::size_t>(got);
        if (w.pipe_at >= at && w.pipe_at - at < n)
            read_to[w.pipe_at - at] = '|';
        at += n;
        std::size_t kept = carried;
        std::size_t i = second_quote ? 1 : 0;
        second_quote = false;
        while (i < n) {
            const auto quote = static_cast<std::size_t>(find_byte(read_to + i, read_to + n, '"') - read_to);
            const std::size_t run_end = std::min(quote + 1, n);  // the first quote of a pair stays
            move_bytes(block.get() + kept, read_to + i, run_end - i);
            kept += run_end - i;
            if (quote + 1 >= n) {
                second_quote = quote + 1 == n;  // its partner begins the next block
                break;
            }
            i = quote + 2;
        }
        const std::size_t whole = at < end ? whole_sequences(block.get(), kept) : kept;
        report_pipe_bytes(block.get(), whole);
        carried = kept - whole;
        std::memmove(block.get(), block.get() + whole, carried);
    }
    report_pipe_bytes("\n", 1);
}

}  // namespace

void on_field_piece(void* bytes, std::size_t length, int kind, void* data)
{
    auto& w = *static_cast<intermediate_writer*>(data);
    switch (kind) {
    case PIECE_SURE:
        open_field(w);
        put_piece(w, static_cast<unsigned char*>(bytes), length);
        break;
    case PIECE_PENDING:
        // A quote and blanks, which need no clean-up.
        open_field(w);
        if (w.out.tentative_from == output_buffer::NOT_TENTATIVE)
            w.out.begin_tentative();
        w.out.put_doubled(static_cast<const unsigned char*>(bytes), length);
        break;
    case PIECE_KEPT:
        w.out.keep_tentative();
        break;
    case PIECE_DROPPED:
        w.out.drop_tentative();
        break;
    }
}

void end_field_in_pieces(intermediate_writer& w, unsigned char* bytes, std::size_t length)
{
    put_piece(w, bytes, length);
    const std::uint64_t end = w.out.position();
    w.out.put('"');
    w.field_open = false;
    if (w.pipe_replaced)
        show_field(w, end);
    if (w.out.progress != nullptr)
        publish_held_from(*w.out.progress, UINT64_MAX);
}
