#include "convert/encoding.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <span>

#include "common/common.h"
#include "kernels/kernels.h"
#include "platform/platform.h"

// UTF-16 input on its way in: read in raw pieces, decoded into UTF-8, and
// handed to the splitter from there.
struct utf16_input {
    bool big_endian;
    std::size_t raw_size;  // room for what came with the mark, and more
    std::unique_ptr<unsigned char[]> raw = std::make_unique_for_overwrite<unsigned char[]>(raw_size);
    std::size_t raw_used = 0;  // undecoded bytes at raw's start: a unit or a pair cut off
    std::unique_ptr<unsigned char[]> text
        = std::make_unique_for_overwrite<unsigned char[]>(raw_size * 3 / 2 + UTF16_DECODE_SLACK);
    std::size_t text_start = 0;
    std::size_t text_end = 0;
    bool at_end = false;
};

decoded_input::decoded_input(int input)
    : raw(input)
{
}

decoded_input::~decoded_input() = default;

namespace {

// Marks the input as not what it should be, for the reason given (null:
// EILSEQ's own text): -1, with errno EILSEQ, as a read that fails says it.
std::ptrdiff_t refuse(decoded_input& in, const char* reason)
{
    in.invalid = true;
    in.reason = reason;
    errno = EILSEQ;
    return -1;
}

// The input's bytes, decompressed where it is compressed.
std::ptrdiff_t read_bytes(decoded_input& in, unsigned char* into, std::size_t room)
{
    read_failure failed;
    const std::ptrdiff_t got = in.unpacked != nullptr ? read_unpacked(*in.unpacked, into, room, failed)
                                                      : read_raw(in.raw, into, room, failed);
    if (got >= 0)
        return got;
    // A decompressor's memory, like the run's own, is a memory failure.
    if (failed.error == ENOMEM && in.unpacked != nullptr)
        throw std::bad_alloc();
    if (failed.reason != nullptr)
        return refuse(in, failed.reason);
    errno = failed.error;
    return -1;
}

// Reads until at least wanted bytes have come, or all there are.
std::ptrdiff_t read_at_least(decoded_input& in, unsigned char* into, std::size_t room, std::size_t wanted)
{
    std::ptrdiff_t got = read_bytes(in, into, room);
    while (got > 0 && static_cast<std::size_t>(got) < wanted && static_cast<std::size_t>(got) < room) {
        const std::ptrdiff_t more = read_bytes(in, into + got, room - static_cast<std::size_t>(got));
        if (more <= 0)
            return more < 0 ? -1 : got;
        got += more;
    }
    return got;
}

// Fills into with UTF-8 decoded from the UTF-16 input.
std::ptrdiff_t read_utf16(decoded_input& in, unsigned char* into, std::size_t room)
{
    utf16_input& u = *in.utf16;
    while (u.text_start == u.text_end) {
        if (u.at_end)
            return 0;
        const std::ptrdiff_t got = read_bytes(in, u.raw.get() + u.raw_used, u.raw_size - u.raw_used);
        if (got < 0)
            return -1;
        u.at_end = got == 0;
        u.raw_used += static_cast<std::size_t>(got);
        std::size_t consumed = 0;
        const std::ptrdiff_t decoded
            = run_kernels.utf16_to_utf8(u.raw.get(), u.raw_used, u.big_endian, u.text.get(), consumed);
        // A bad surrogate, or at the end an odd byte or a lone high one.
        if (decoded < 0 || (u.at_end && consumed != u.raw_used))
            return refuse(in, nullptr);
        u.raw_used -= consumed;
        std::memmove(u.raw.get(), u.raw.get() + consumed, u.raw_used);
        u.text_start = 0;
        u.text_end = static_cast<std::size_t>(decoded);
    }
    const std::size_t n = std::min(room, u.text_end - u.text_start);
    std::memcpy(into, u.text.get() + u.text_start, n);
    u.text_start += n;
    return static_cast<std::ptrdiff_t>(n);
}

constexpr unsigned char UTF16_LE_MARK[] = {0xFF, 0xFE};
constexpr unsigned char UTF16_BE_MARK[] = {0xFE, 0xFF};

bool begins_with(const unsigned char* bytes, std::ptrdiff_t length, std::span<const unsigned char> mark)
{
    return length >= static_cast<std::ptrdiff_t>(mark.size()) && std::equal(mark.begin(), mark.end(), bytes);
}

// Reads the input's first bytes into into and looks at them: a compressed
// input is decompressed from there on, and a mark is looked for in what
// the bytes are. Returns the bytes that follow the mark.
std::ptrdiff_t read_start(decoded_input& in, unsigned char* into, std::size_t room)
{
    std::ptrdiff_t got = read_at_least(in, into, room, FORMAT_MARK_SIZE);
    if (got > 0) {
        const char* refused = nullptr;
        const compression format = compression_of({into, static_cast<std::size_t>(got)}, refused);
        if (refused != nullptr)
            return refuse(in, refused);
        if (format != COMPRESSION_NONE) {
            in.unpacked = start_unpacking(format, in.raw, {into, static_cast<std::size_t>(got)});
            // A mark is only known once three bytes have come, or all
            // there are.
            got = read_at_least(in, into, room, sizeof BYTE_ORDER_MARK);
        }
    }
    in.mark_read = true;
    std::size_t mark = 0;
    if (begins_with(into, got, BYTE_ORDER_MARK)) {
        in.encoding = ENCODING_UTF8_MARK;
        mark = sizeof BYTE_ORDER_MARK;
    } else if (begins_with(into, got, UTF16_LE_MARK)) {
        in.encoding = ENCODING_UTF16_LE;
        mark = sizeof UTF16_LE_MARK;
    } else if (begins_with(into, got, UTF16_BE_MARK)) {
        in.encoding = ENCODING_UTF16_BE;
        mark = sizeof UTF16_BE_MARK;
    }
    if (got <= 0 || mark == 0)
        return got;
    got -= static_cast<std::ptrdiff_t>(mark);
    if (is_utf16(in.encoding)) {
        // What came after the mark is decoded like the rest.
        constexpr std::size_t RAW_SIZE = 65536;
        in.utf16.reset(new utf16_input {in.encoding == ENCODING_UTF16_BE, RAW_SIZE + static_cast<std::size_t>(got)});
        std::memcpy(in.utf16->raw.get(), into + mark, static_cast<std::size_t>(got));
        in.utf16->raw_used = static_cast<std::size_t>(got);
        return read_utf16(in, into, room);
    }
    std::memmove(into, into + mark, static_cast<std::size_t>(got));
    return got == 0 ? read_bytes(in, into, room) : got;
}

}  // namespace

std::ptrdiff_t read_decoded(decoded_input& in, unsigned char* into, std::size_t room)
{
    if (!in.mark_read)
        return read_start(in, into, room);
    return in.utf16 != nullptr ? read_utf16(in, into, room) : read_bytes(in, into, room);
}
