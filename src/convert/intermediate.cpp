#include "convert/intermediate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/bits.h"
#include "convert/messages.h"
#include "platform/platform.h"

void tell_written(pass_handoff& handoff, std::uint64_t written)
{
    bool wanted;
    {
        const std::lock_guard<std::mutex> hold(handoff.lock);
        handoff.written = written;
        wanted = written >= handoff.wanted;
    }
    // The finishing pass is woken for a good piece at a time, not for
    // every block.
    if (wanted)
        handoff.moved.notify_one();
}

void tell_held_from(pass_handoff& handoff, std::uint64_t offset)
{
    const std::lock_guard<std::mutex> hold(handoff.lock);
    handoff.held_from = offset;
}

void tell_encoding(pass_handoff& handoff, input_encoding encoding)
{
    const std::lock_guard<std::mutex> hold(handoff.lock);
    handoff.encoding = encoding;
}

void tell_end(pass_handoff& handoff, bool failed)
{
    {
        const std::lock_guard<std::mutex> hold(handoff.lock);
        handoff.ended = true;
        handoff.failed = failed;
    }
    handoff.moved.notify_one();
}

void tell_finish_failed(pass_handoff& handoff)
{
    const std::lock_guard<std::mutex> hold(handoff.lock);
    handoff.finish_failed = true;
}

bool finish_has_failed(pass_handoff& handoff)
{
    const std::lock_guard<std::mutex> hold(handoff.lock);
    return handoff.finish_failed;
}

namespace {

// The buffer's blocks, told to the finishing pass: all of each but the
// tentative bytes.
void tell_block_written(void* data, std::uint64_t from, std::uint64_t to)
{
    const intermediate_writer& w = *static_cast<const intermediate_writer*>(data);
    if (w.tentative_from > from)
        tell_written(*w.handoff, to < w.tentative_from ? to : w.tentative_from);
}

}  // namespace

void follow_with(intermediate_writer& writer, pass_handoff* handoff)
{
    writer.handoff = handoff;
    if (handoff != nullptr)
        writer.out.tell_writes_to({tell_block_written, &writer});
}

void begin_tentative(intermediate_writer& w)
{
    if (w.tentative_from == intermediate_writer::NOT_TENTATIVE)
        w.tentative_from = w.out.position();
}

void keep_tentative(intermediate_writer& w)
{
    if (w.handoff != nullptr && w.tentative_from < w.out.written_out())
        tell_written(*w.handoff, w.out.written_out());
    w.tentative_from = intermediate_writer::NOT_TENTATIVE;
}

void drop_tentative(intermediate_writer& w)
{
    w.out.take_back_to(w.tentative_from);
    w.tentative_from = intermediate_writer::NOT_TENTATIVE;
}

namespace {

constexpr std::size_t SHOWN_BLOCK = 65536;
constexpr std::size_t CARRIED = 3;  // at most, of a UTF-8 sequence cut off

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

}  // namespace

intermediate_writer::intermediate_writer(int fd)
    : out(fd)
    , shown(std::make_unique_for_overwrite<unsigned char[]>(CARRIED + SHOWN_BLOCK))
{
}

intermediate_writer::~intermediate_writer()
{
    if (reader >= 0)
        close_file(reader);
}

void show_field_read_back(intermediate_writer& w, std::uint64_t end)
{
    if (!w.out.flush())
        return;  // the failed write stops the pass
    if (w.reader < 0 && (w.reader = reopen_for_reading(w.out.file())) < 0) {
        w.read_error = errno;
        return;
    }
    report_pipe_heading();
    unsigned char* const block = w.shown.get();
    std::size_t carried = 0;
    bool second_quote = false;  // the next block begins with the second quote of a pair
    for (std::uint64_t at = w.field_start; at < end;) {
        unsigned char* const read_to = block + carried;
        const std::ptrdiff_t got = read_some_at(w.reader, read_to, std::min<std::uint64_t>(SHOWN_BLOCK, end - at), at);
        if (got <= 0) {
            w.read_error = got < 0 ? errno : EIO;
            return;
        }
        const auto n = static_cast<std::size_t>(got);
        if (w.pipe_at >= at && w.pipe_at - at < n)
            read_to[w.pipe_at - at] = '|';
        at += n;
        const std::size_t kept = carried + collapse_quotes(read_to, n, &second_quote);
        const std::size_t whole = at < end ? whole_sequences(block, kept) : kept;
        report_pipe_bytes(block, whole);
        carried = kept - whole;
        std::memmove(block, block + whole, carried);
    }
    report_pipe_bytes("\n", 1);
}
