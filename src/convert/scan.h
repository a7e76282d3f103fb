// Word-at-a-time looks at a field's bytes: what needs care, and short
// copies (the search itself is in common/bits.h).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/bits.h"

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
