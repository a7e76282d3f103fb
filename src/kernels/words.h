// A field's bytes a word at a time, in plain C++: the portable unit's
// looks for the bytes to clean, and the short fields and tails of the
// units that take 16 bytes at a time.
#pragma once

#include <cstring>

#include "common/bits.h"
#include "common/rules.h"

// The bytes of a field shorter than a word, for a look at all of them at
// once: read as overlapping halves, or one by one below four bytes; zero
// bytes fill the rest.
inline std::uint64_t short_word(const unsigned char* p, std::size_t n)
{
    std::uint64_t word = 0;
    if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, p, sizeof head);
        std::memcpy(&tail, p + n - 4, sizeof tail);
        word = (static_cast<std::uint64_t>(head) << 32) | tail;
    } else {
        for (std::size_t i = 0; i < n; ++i)
            word = (word << 8) | p[i];
    }
    return word;
}

// Flags the bytes of a word that need a look: those of RULE_BYTES that
// looked_for selects, and a quote where quote is set. Exact.
inline std::uint64_t look_flags(std::uint64_t word, bool quote, unsigned looked_for)
{
    std::uint64_t flags = rule_hits(
        looked_for, std::uint64_t {0}, [word](unsigned char b) { return bytes_exactly_equal(word, b); },
        [](std::uint64_t a, std::uint64_t b) { return a | b; });
    if (quote)
        flags |= bytes_exactly_equal(word, '"');
    return flags;
}

// What kernel_table::field_holds does. A tail shorter than a word is read
// as an overlapping word, and a field shorter than one as zero-padded
// halves, so a short field costs one or two looks. A zero byte is never
// looked for.
inline bool field_holds_words(const unsigned char* p, std::size_t n, bool quotes, unsigned looked_for)
{
    if (n < 8)
        return look_flags(short_word(p, n), quotes, looked_for) != 0;
    const unsigned char* const last = p + n - 8;
    for (; p < last; p += 8) {
        if (look_flags(load_word(p), quotes, looked_for) != 0)
            return true;
    }
    return look_flags(load_word(last), quotes, looked_for) != 0;
}

// Whether the byte is one of RULE_BYTES that looked_for selects.
inline bool is_looked_for(unsigned char byte, unsigned looked_for)
{
    return rule_hits(
        looked_for, false, [byte](unsigned char b) { return byte == b; }, [](bool a, bool b) { return a || b; });
}

// The offsets of flagged bytes, base on, at out.
inline std::uint32_t* flagged_offsets(std::uint64_t flags, std::size_t base, std::uint32_t* out)
{
    for (; flags != 0; flags &= flags - 1)
        *out++ = static_cast<std::uint32_t>(base + first_flagged(flags));
    return out;
}

// What kernel_table::find_rule_bytes does: a word at a time, the last one
// overlapping the one before, and byte by byte below a word.
inline std::size_t find_rule_bytes_words(const unsigned char* p, std::size_t n, unsigned looked_for, std::uint32_t* at)
{
    std::uint32_t* out = at;
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i) {
            if (is_looked_for(p[i], looked_for))
                *out++ = static_cast<std::uint32_t>(i);
        }
        return static_cast<std::size_t>(out - at);
    }
    std::size_t i = 0;
    for (; n - i >= 8; i += 8)
        out = flagged_offsets(look_flags(load_word(p + i), false, looked_for), i, out);
    if (i < n) {
        const std::uint64_t seen = ~std::uint64_t {0} << (8 * (i - (n - 8)));
        out = flagged_offsets(look_flags(load_word(p + n - 8), false, looked_for) & seen, n - 8, out);
    }
    return static_cast<std::size_t>(out - at);
}
