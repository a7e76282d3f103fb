#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/bits.h"
#include "platform/platform.h"
#include "convert/convert.h"

// The intermediate file holds each record's fields joined by '|' and ended
// by CR LF. A field that could hold a '|' or a line break stands in
// quotes, with its own quotes doubled; others stand bare and hold neither
// a quote nor a '|'. So counting quotes tells inside from outside: a quote
// that opens a field follows a separator, one that closes it comes before
// one, and a quote written doubled is a closing quote directly followed by
// an opening one. The output is the file with the enclosing quotes taken
// out, doubled ones kept. The file is read 64 bytes at a time, as bit
// masks of its quotes and pipes.

namespace {

struct word_masks {
    std::uint64_t quotes;
    std::uint64_t pipes;
};

word_masks scan_portable(const unsigned char* p)
{
    word_masks m {0, 0};
    for (unsigned i = 0; i < 64; ++i) {
        m.quotes |= static_cast<std::uint64_t>(p[i] == '"') << i;
        m.pipes |= static_cast<std::uint64_t>(p[i] == '|') << i;
    }
    return m;
}

#if defined(__x86_64__)
word_masks scan_sse2(const unsigned char* p)
{
    word_masks m {0, 0};
    for (unsigned i = 0; i < 4; ++i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        const auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('"'))));
        const auto pipes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('|'))));
        m.quotes |= static_cast<std::uint64_t>(quotes) << (16 * i);
        m.pipes |= static_cast<std::uint64_t>(pipes) << (16 * i);
    }
    return m;
}

[[gnu::target("avx2")]] word_masks scan_avx2(const unsigned char* p)
{
    word_masks m {0, 0};
    for (unsigned i = 0; i < 2; ++i) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
        const auto quotes = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"'))));
        const auto pipes = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('|'))));
        m.quotes |= static_cast<std::uint64_t>(quotes) << (32 * i);
        m.pipes |= static_cast<std::uint64_t>(pipes) << (32 * i);
    }
    return m;
}
#endif

word_masks scan_word(const unsigned char* p, vector_unit unit)
{
#if defined(__x86_64__)
    if (unit == vector_unit::avx2 || unit == vector_unit::avx512)
        return scan_avx2(p);
    if (unit == vector_unit::sse2)
        return scan_sse2(p);
#endif
    static_cast<void>(unit);
    return scan_portable(p);
}

// Copies a run of at most 64 bytes 16 at a time. Both sides have room for
// the last move's excess.
unsigned char* copy_run(unsigned char* out, const unsigned char* from, std::size_t n)
{
    for (std::size_t done = 0; done < n; done += 16)
        std::memcpy(out + done, from + done, 16);
    return out + n;
}

// What the walk carries from one word to the next.
struct carry {
    bool inside;  // the last byte lay inside a field's quotes
    bool last_quote;  // the last byte was a quote
};

// What a word's quotes stand for.
struct word_events {
    std::uint64_t quotes;
    std::uint64_t inside;
    std::uint64_t enclosing;  // the quotes that go
    std::uint64_t joins;  // closing quotes of "|" between quoted fields
};

// The events of the first n (at most 64) bytes at p; p[n] is the byte that
// follows, or 0 at the end of the file.
inline word_events find_events(word_masks m, const unsigned char* p, std::size_t n, const carry& c)
{
    const std::uint64_t valid = n == 64 ? ~std::uint64_t {0} : (std::uint64_t {1} << n) - 1;
    m.quotes &= valid;
    m.pipes &= valid;
    const std::uint64_t next_is_quote = (m.quotes >> 1) | (static_cast<std::uint64_t>(p[n] == '"') << (n - 1));
    const std::uint64_t after_quote = (m.quotes << 1) | static_cast<std::uint64_t>(c.last_quote);
    const std::uint64_t inside = prefix_xor(m.quotes) ^ (c.inside ? ~std::uint64_t {0} : 0);
    const std::uint64_t opening = m.quotes & inside;
    const std::uint64_t closing = m.quotes & ~inside;
    const std::uint64_t doubled = (closing & next_is_quote) | (opening & after_quote);
    const std::uint64_t enclosing = m.quotes & ~doubled;
    // Most enclosing quotes come as a field's close, its separator and the
    // next field's open: three bytes that give one at one event.
    const std::uint64_t joins = (closing & enclosing) & (m.pipes >> 1) & ((opening & enclosing) >> 2);
    return {m.quotes, inside, enclosing, joins};
}

inline void carry_on(carry& c, const word_events& e, std::size_t n)
{
    c.inside = (e.inside >> (n - 1)) & 1;
    c.last_quote = (e.quotes >> (n - 1)) & 1;
}

// Copies the runs between the enclosing quotes, one event at a time.
// Returns the end of the output.
unsigned char* put_events(const unsigned char* p, std::size_t n, unsigned char* out, const word_events& e)
{
    std::uint64_t events = e.enclosing & ~(e.joins << 1) & ~(e.joins << 2);
    std::size_t pos = 0;
    while (events != 0) {
        const auto at = static_cast<std::size_t>(std::countr_zero(events));
        out = copy_run(out, p + pos, at - pos);
        if ((e.joins >> at) & 1) {
            *out++ = '|';
            pos = at + 3;
        } else {
            pos = at + 1;
        }
        events &= events - 1;
    }
    return copy_run(out, p + pos, n - pos);
}

#if defined(__x86_64__)
// A whole word in one compression: the word without its enclosing quotes.
[[gnu::target("avx512f,avx512bw,avx512vbmi2,popcnt")]] unsigned char* convert_word_avx512(
    const unsigned char* p, unsigned char* out, carry& c)
{
    const __m512i v = _mm512_loadu_si512(p);
    const std::uint64_t quotes = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"'));
    if (quotes == 0) {
        // Bare fields, or the inside of a quoted one: all of it stays.
        c.last_quote = false;
        _mm512_storeu_si512(out, v);
        return out + 64;
    }
    const word_events e = find_events({quotes, 0}, p, 64, c);
    carry_on(c, e, 64);
    const std::uint64_t kept = ~e.enclosing;
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(kept, v));
    return out + std::popcount(kept);
}
#endif

// Converts the first n (at most 64) bytes at p; p[n] is the byte that
// follows, or 0 at the end of the file. Returns the end of the output.
unsigned char* convert_word(const unsigned char* p, std::size_t n, unsigned char* out, carry& c, vector_unit unit)
{
#if defined(__x86_64__)
    if (unit == vector_unit::avx512 && n == 64)
        return convert_word_avx512(p, out, c);
#endif
    const word_events e = find_events(scan_word(p, unit), p, n, c);
    carry_on(c, e, n);
    return put_events(p, n, out, e);
}

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
    // at most itself, so its output always fits the room kept.
    constexpr std::size_t PIECE = 127 * 4096;
    constexpr std::size_t HELD = 64;
    constexpr std::size_t PADDING = 64;
    constexpr std::size_t ROOM = 2 * 64 + 16;
    output_buffer out(output);
    const auto in = std::make_unique<unsigned char[]>(HELD + PIECE + PADDING);

    carry c {false, false};
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
            const std::size_t n = ready - pos < 64 ? ready - pos : 64;
            unsigned char* const end = convert_word(in.get() + pos, n, out.bytes.get() + out.used, c, settings.unit);
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
