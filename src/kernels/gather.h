// The x86 units' gathering of the bytes a word keeps, 16 at a time, by a
// table of shuffles (SSSE3's pshufb): for processors without AVX-512's
// byte compression.
#pragma once

#include <tmmintrin.h>

#include "kernels/loops.h"

// The bytes of v whose bit of kept (16 bits) is set, packed at out; stores
// up to 8 bytes past them.
[[gnu::target("ssse3")]] inline unsigned char* gather16(__m128i v, unsigned kept, unsigned char* out)
{
    const unsigned low = kept & 0xFF, high = kept >> 8;
    const __m128i from = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(SHUFFLES.low[low])),
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(SHUFFLES.high[high])));
    const __m128i packed = _mm_shuffle_epi8(v, from);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    out += SHUFFLES.count[low];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_unpackhi_epi64(packed, packed));
    return out + SHUFFLES.count[high];
}
