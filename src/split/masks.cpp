#include "split/masks.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

void scan_portable(const unsigned char* bytes, std::size_t words, std::uint64_t* stops)
{
    for (std::size_t w = 0; w < words; ++w, bytes += 64) {
        std::uint64_t s = 0;
        for (unsigned i = 0; i < 64; ++i) {
            const unsigned char c = bytes[i];
            s |= static_cast<std::uint64_t>((c == '"') | (c == ',') | (c == '\r') | (c == '\n')) << i;
        }
        stops[w] = s;
    }
}

#if defined(__SSE2__)
void scan_sse2(const unsigned char* bytes, std::size_t words, std::uint64_t* stops)
{
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (std::size_t w = 0; w < words; ++w, bytes += 64) {
        std::uint64_t s = 0;
        for (unsigned i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * i));
            const __m128i is_stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, comma)),
                _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
            s |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(is_stop))) << (16 * i);
        }
        stops[w] = s;
    }
}
#endif

}  // namespace

void scan_stops(const unsigned char* bytes, std::size_t words, std::uint64_t* stops, bool portable)
{
#if defined(__SSE2__)
    if (!portable) {
        scan_sse2(bytes, words, stops);
        return;
    }
#endif
    static_cast<void>(portable);
    scan_portable(bytes, words, stops);
}

bool scan_has_sse2()
{
#if defined(__SSE2__)
    return true;
#else
    return false;
#endif
}
