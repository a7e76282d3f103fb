#include "split/block.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

void scan_portable(block& b, std::size_t words)
{
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        std::uint64_t q = 0, c = 0, l = 0;
        for (unsigned i = 0; i < 64; ++i) {
            q |= static_cast<std::uint64_t>(p[i] == '"') << i;
            c |= static_cast<std::uint64_t>(p[i] == ',') << i;
            l |= static_cast<std::uint64_t>((p[i] == '\r') | (p[i] == '\n')) << i;
        }
        b.quotes[w] = q;
        b.commas[w] = c;
        b.line_ends[w] = l;
    }
}

#if defined(__SSE2__)
std::uint64_t bits_of(__m128i hits, unsigned part)
{
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (16 * part);
}

void scan_sse2(block& b, std::size_t words)
{
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        std::uint64_t q = 0, c = 0, l = 0;
        for (unsigned i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            q |= bits_of(_mm_cmpeq_epi8(v, quote), i);
            c |= bits_of(_mm_cmpeq_epi8(v, comma), i);
            l |= bits_of(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), i);
        }
        b.quotes[w] = q;
        b.commas[w] = c;
        b.line_ends[w] = l;
    }
}
#endif

}  // namespace

void scan_block(block& b, bool portable)
{
    const std::size_t words = (b.size + 63) / 64;
#if defined(__SSE2__)
    if (!portable)
        scan_sse2(b, words);
    else
        scan_portable(b, words);
#else
    static_cast<void>(portable);
    scan_portable(b, words);
#endif
    // Bytes past the data were scanned too; their bits go, and the word
    // after the last is clear for readings that look one word ahead.
    const std::uint64_t kept = b.size % 64 == 0 ? ~std::uint64_t {0} : (std::uint64_t {1} << (b.size % 64)) - 1;
    if (words > 0) {
        b.quotes[words - 1] &= kept;
        b.commas[words - 1] &= kept;
        b.line_ends[words - 1] &= kept;
    }
    b.quotes[words] = b.commas[words] = b.line_ends[words] = 0;
    b.bytes[b.size] = 0;
}
