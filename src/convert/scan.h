// Word-at-a-time byte search. Fields are mostly a few bytes long, where a
// call to memchr costs more than the search itself.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr std::uint64_t BYTE_ONES = 0x0101010101010101ull;
inline constexpr std::uint64_t BYTE_HIGHS = 0x8080808080808080ull;

inline std::uint64_t load_word(const unsigned char* p)
{
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Flags the bytes of the word equal to b. Only the first flag (in memory
// order) is exact, which is all that first_flagged reads.
inline std::uint64_t bytes_equal(std::uint64_t word, unsigned char b)
{
    const std::uint64_t x = word ^ (BYTE_ONES * b);
    return (x - BYTE_ONES) & ~x & BYTE_HIGHS;
}

// Offset of the first flagged byte in memory order; flags must not be 0.
inline std::size_t first_flagged(std::uint64_t flags)
{
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::size_t>(std::countr_zero(flags)) / 8;
    else
        return static_cast<std::size_t>(std::countl_zero(flags)) / 8;
}

// The first byte equal to b in [p, end), or end.
inline const unsigned char* find_byte(const unsigned char* p, const unsigned char* end, unsigned char b)
{
    for (; end - p >= 8; p += 8) {
        if (const std::uint64_t flags = bytes_equal(load_word(p), b))
            return p + first_flagged(flags);
    }
    while (p != end && *p != b)
        ++p;
    return p;
}

// Whether flags() finds anything in [p, p + n), a word at a time. A tail
// shorter than a word is read as an overlapping word, and a field shorter
// than one as zero-padded halves, so a short field costs one or two checks.
// flags() must ignore zero bytes and may see bytes more than once.
template <typename Flags> inline bool any_flagged(const unsigned char* p, std::size_t n, Flags flags)
{
    if (n >= 8) {
        const unsigned char* const last = p + n - 8;
        for (; p < last; p += 8) {
            if (flags(load_word(p)) != 0)
                return true;
        }
        return flags(load_word(last)) != 0;
    }
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
    return flags(word) != 0;
}
