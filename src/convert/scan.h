// Word-at-a-time byte search. Fields are mostly a few bytes long, where a
// call to memchr costs more than the search itself.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    return flags(short_word(p, n)) != 0;
}

// Whether a field holds a quote or a '|', or, when line_breaks is set, a
// CR or an LF: the bytes that need more than a copy. Up to 16 bytes are
// looked at in one register; longer fields 16 bytes at a time, the last
// 16 overlapping.
inline bool field_needs_care(const unsigned char* p, std::size_t n, bool line_breaks)
{
#if defined(__SSE2__)
    const auto found = [line_breaks](__m128i v) {
        __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('|')));
        if (line_breaks)
            hits = _mm_or_si128(
                hits, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
        return _mm_movemask_epi8(hits) != 0;
    };
    if (n < 8)
        return found(_mm_cvtsi64_si128(static_cast<long long>(short_word(p, n))));
    if (n <= 16)
        return found(_mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 8))));
    const unsigned char* const last = p + n - 16;
    for (; p < last; p += 16) {
        if (found(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
            return true;
    }
    return found(_mm_loadu_si128(reinterpret_cast<const __m128i*>(last)));
#else
    return any_flagged(p, n, [line_breaks](std::uint64_t word) {
        std::uint64_t hits = bytes_equal(word, '"') | bytes_equal(word, '|');
        if (line_breaks)
            hits |= bytes_equal(word, '\r') | bytes_equal(word, '\n');
        return hits;
    });
#endif
}

// Copies a field of at most 16 bytes with a few moves instead of a call.
// The two areas must not overlap.
inline void copy_short(unsigned char* to, const unsigned char* from, std::size_t n)
{
    if (n >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + n - 8, &tail, 8);
    } else if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + n - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + n - 4, &tail, 4);
    } else if (n > 0) {
        const unsigned char first = from[0], middle = from[n / 2], last = from[n - 1];
        to[0] = first;
        to[n / 2] = middle;
        to[n - 1] = last;
    }
}
