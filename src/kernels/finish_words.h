// The finishing pass's walk, the same for every unit but for the scan of
// a word's quotes and pipes and for how the kept bytes are gathered. In
// the intermediate file a field that could hold a '|' or a line break
// stands in quotes, its own quotes doubled, and every other field bare, so
// counting quotes tells inside from outside; a quote written doubled is a
// closing quote directly followed by an opening one.
#pragma once

#include <cstring>

#include "common/bits.h"
#include "kernels/kernels.h"

struct word_masks {
    std::uint64_t quotes;
    std::uint64_t pipes;
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
[[gnu::always_inline]] inline word_events find_events(
    word_masks m, const unsigned char* p, std::size_t n, const finish_carry& c)
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

[[gnu::always_inline]] inline void carry_on(finish_carry& c, const word_events& e, std::size_t n)
{
    c.inside = (e.inside >> (n - 1)) & 1;
    c.last_quote = (e.quotes >> (n - 1)) & 1;
}

// Copies a run of at most 64 bytes 16 at a time. Both sides have room for
// the last move's excess.
[[gnu::always_inline]] inline unsigned char* copy_run(unsigned char* out, const unsigned char* from, std::size_t n)
{
    for (std::size_t done = 0; done < n; done += 16)
        std::memcpy(out + done, from + done, 16);
    return out + n;
}

// Copies the runs between the enclosing quotes, one event at a time.
// Returns the end of the output.
[[gnu::always_inline]] inline unsigned char* put_events(
    const unsigned char* p, std::size_t n, unsigned char* out, const word_events& e)
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

// What kernel_table::finish_words does, with Scan's masks of each word
// and the kept bytes gathered one event at a time.
template <word_masks (*Scan)(const unsigned char*)>
[[gnu::always_inline]] inline unsigned char* finish_words_by(
    const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    for (std::size_t pos = 0; pos < n; pos += 64) {
        const std::size_t size = n - pos < 64 ? n - pos : 64;
        const word_events e = find_events(Scan(in + pos), in + pos, size, c);
        carry_on(c, e, size);
        out = put_events(in + pos, size, out, e);
    }
    return out;
}

// The bytes of a word of size (at most 64) bytes at p that stay, those
// that are no enclosing quote, with the carry brought on; quotes is the
// word's mask of them.
[[gnu::always_inline]] inline std::uint64_t kept_bytes(
    std::uint64_t quotes, const unsigned char* p, std::size_t size, finish_carry& c)
{
    const std::uint64_t valid = size == 64 ? ~std::uint64_t {0} : (std::uint64_t {1} << size) - 1;
    quotes &= valid;
    if (quotes == 0) {
        // Bare fields, or the inside of a quoted one: all of it stays.
        c.last_quote = false;
        return valid;
    }
    const word_events e = find_events({quotes, 0}, p, size, c);
    carry_on(c, e, size);
    return valid & ~e.enclosing;
}

// For the units that gather bytes by a table of shuffles: for each 8-bit
// mask of bytes to keep, where each kept byte comes from, the kept ones
// first (from the low half of 16 bytes, and from the high half), and how
// many there are.
struct shuffle_table {
    unsigned char low[256][8];
    unsigned char high[256][8];
    unsigned char count[256];
};

constexpr shuffle_table make_shuffles()
{
    shuffle_table t {};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned char n = 0;
        for (unsigned char i = 0; i < 8; ++i) {
            if ((mask >> i) & 1) {
                t.low[mask][n] = i;
                t.high[mask][n] = static_cast<unsigned char>(i + 8);
                ++n;
            }
        }
        t.count[mask] = n;
    }
    return t;
}

inline constexpr shuffle_table SHUFFLES = make_shuffles();
