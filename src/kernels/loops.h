// The loops over 64-byte words that every unit shares, written once over
// the unit's word operations, W (word_ops below). Each unit instantiates
// them in its own file, with its own instructions.
#pragma once

#include <bit>
#include <concepts>

#include "common/bits.h"
#include "common/rules.h"
#include "kernels/kernels.h"

template <typename W>
concept word_ops = requires(const unsigned char* p, unsigned char* out, const typename W::word& w, unsigned char byte,
    std::uint64_t kept, std::size_t size) {
    // 64 bytes of input in the unit's registers, made from their address
    requires std::constructible_from<typename W::word, const unsigned char*>;
    { W::equal(w, byte) } -> std::same_as<std::uint64_t>;  // bit i set: byte i equals
    { W::either(w, byte, byte) } -> std::same_as<std::uint64_t>;  // ...equals either
    W::store(w, out);  // all 64 bytes
    // The bytes of the first size whose bit of kept is set, packed at out;
    // returns their end, and may store up to 64 past it.
    { W::gather(w, kept, size, out) } -> std::same_as<unsigned char*>;
};

// What kernel_table::scan_block does.
template <word_ops W> [[gnu::always_inline]] inline void scan_words(const block& b, std::size_t words)
{
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        const typename W::word v(p);
        b.quotes[w] = W::equal(v, '"');
        b.commas[w] = W::equal(v, ',');
        b.line_ends[w] = W::either(v, '\r', '\n');
        b.marks[w] = rule_hits<MARKED_BYTES>(
            std::uint64_t {0}, [&v](unsigned char c) { return W::equal(v, c); },
            [](std::uint64_t x, std::uint64_t y) { return x | y; });
        b.blanks[w] = W::either(v, ' ', '\t');
    }
}

// The finishing pass reads the intermediate file (convert/intermediate.h):
// counting quotes tells inside from outside, and a quote written doubled
// is a closing quote directly followed by an opening one. These are the
// bytes of a word of size (at most 64) bytes at p that stay, all but the
// quotes that enclose fields, with the carry brought on; quotes is the
// word's mask of them, and p[size] the byte after it (0 at the end).
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
    const std::uint64_t next_is_quote = (quotes >> 1) | (static_cast<std::uint64_t>(p[size] == '"') << (size - 1));
    const std::uint64_t after_quote = (quotes << 1) | static_cast<std::uint64_t>(c.last_quote);
    const std::uint64_t inside = prefix_xor(quotes) ^ (c.inside ? ~std::uint64_t {0} : 0);
    const std::uint64_t opening = quotes & inside;
    const std::uint64_t closing = quotes & ~inside;
    const std::uint64_t doubled = (closing & next_is_quote) | (opening & after_quote);
    c.inside = (inside >> (size - 1)) & 1;
    c.last_quote = (quotes >> (size - 1)) & 1;
    return valid & ~(quotes & ~doubled);
}

// What kernel_table::finish_words does: a word whose bytes all stay is
// stored whole, and any other gathered.
template <word_ops W>
[[gnu::always_inline]] inline unsigned char* finish_words_with(
    const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    for (std::size_t pos = 0; pos < n; pos += 64) {
        const std::size_t size = n - pos < 64 ? n - pos : 64;
        const typename W::word v(in + pos);
        const std::uint64_t kept = kept_bytes(W::equal(v, '"'), in + pos, size, c);
        if (kept == ~std::uint64_t {0} >> (64 - size)) {
            W::store(v, out);
            out += size;
        } else {
            out = W::gather(v, kept, size, out);
        }
    }
    return out;
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
