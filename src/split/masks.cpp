#include "split/block.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// The same four masks from each vector unit; the wider ones are compiled
// for their unit alone and run only where the processor has it.

namespace {

struct word_masks {
    std::uint64_t quotes, commas, line_ends, pipes, blanks;
};

void store(block& b, std::size_t w, const word_masks& m)
{
    b.quotes[w] = m.quotes;
    b.commas[w] = m.commas;
    b.line_ends[w] = m.line_ends;
    b.pipes[w] = m.pipes;
    b.blanks[w] = m.blanks;
}

void scan_portable(block& b, std::size_t words)
{
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        word_masks m {0, 0, 0, 0, 0};
        for (unsigned i = 0; i < 64; ++i) {
            m.quotes |= static_cast<std::uint64_t>(p[i] == '"') << i;
            m.commas |= static_cast<std::uint64_t>(p[i] == ',') << i;
            m.line_ends |= static_cast<std::uint64_t>((p[i] == '\r') | (p[i] == '\n')) << i;
            m.pipes |= static_cast<std::uint64_t>(p[i] == '|') << i;
            m.blanks |= static_cast<std::uint64_t>((p[i] == ' ') | (p[i] == '\t')) << i;
        }
        store(b, w, m);
    }
}

#if defined(__x86_64__)
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
    const __m128i pipe = _mm_set1_epi8('|');
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        word_masks m {0, 0, 0, 0, 0};
        for (unsigned i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            m.quotes |= bits_of(_mm_cmpeq_epi8(v, quote), i);
            m.commas |= bits_of(_mm_cmpeq_epi8(v, comma), i);
            m.line_ends |= bits_of(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), i);
            m.pipes |= bits_of(_mm_cmpeq_epi8(v, pipe), i);
            m.blanks |= bits_of(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab)), i);
        }
        store(b, w, m);
    }
}

[[gnu::target("avx2")]] std::uint64_t bits_of(__m256i hits, unsigned part)
{
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(hits))) << (32 * part);
}

[[gnu::target("avx2")]] void scan_avx2(block& b, std::size_t words)
{
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i comma = _mm256_set1_epi8(',');
    const __m256i cr = _mm256_set1_epi8('\r');
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i pipe = _mm256_set1_epi8('|');
    const __m256i space = _mm256_set1_epi8(' ');
    const __m256i tab = _mm256_set1_epi8('\t');
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        word_masks m {0, 0, 0, 0, 0};
        for (unsigned i = 0; i < 2; ++i) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
            m.quotes |= bits_of(_mm256_cmpeq_epi8(v, quote), i);
            m.commas |= bits_of(_mm256_cmpeq_epi8(v, comma), i);
            m.line_ends |= bits_of(_mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(v, lf)), i);
            m.pipes |= bits_of(_mm256_cmpeq_epi8(v, pipe), i);
            m.blanks |= bits_of(_mm256_or_si256(_mm256_cmpeq_epi8(v, space), _mm256_cmpeq_epi8(v, tab)), i);
        }
        store(b, w, m);
    }
}

[[gnu::target("avx512f,avx512bw")]] void scan_avx512(block& b, std::size_t words)
{
    const __m512i quote = _mm512_set1_epi8('"');
    const __m512i comma = _mm512_set1_epi8(',');
    const __m512i cr = _mm512_set1_epi8('\r');
    const __m512i lf = _mm512_set1_epi8('\n');
    const __m512i pipe = _mm512_set1_epi8('|');
    const __m512i space = _mm512_set1_epi8(' ');
    const __m512i tab = _mm512_set1_epi8('\t');
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        const __m512i v = _mm512_loadu_si512(p);
        store(b, w,
            {_mm512_cmpeq_epi8_mask(v, quote), _mm512_cmpeq_epi8_mask(v, comma),
                _mm512_cmpeq_epi8_mask(v, cr) | _mm512_cmpeq_epi8_mask(v, lf), _mm512_cmpeq_epi8_mask(v, pipe),
                _mm512_cmpeq_epi8_mask(v, space) | _mm512_cmpeq_epi8_mask(v, tab)});
    }
}
#endif

}  // namespace

void scan_block(block& b)
{
    const vector_unit unit = b.unit;
    const std::size_t words = (b.size + 63) / 64;
    switch (unit) {
#if defined(__x86_64__)
    case vector_unit::avx512:
        scan_avx512(b, words);
        break;
    case vector_unit::avx2:
        scan_avx2(b, words);
        break;
    case vector_unit::sse2:
        scan_sse2(b, words);
        break;
#endif
    default:
        scan_portable(b, words);
        break;
    }
    // Bytes past the data were scanned too; their bits go, and the word
    // after the last is clear for readings that look one word ahead.
    const std::uint64_t kept = b.size % 64 == 0 ? ~std::uint64_t {0} : (std::uint64_t {1} << (b.size % 64)) - 1;
    if (words > 0) {
        b.quotes[words - 1] &= kept;
        b.commas[words - 1] &= kept;
        b.line_ends[words - 1] &= kept;
        b.pipes[words - 1] &= kept;
        b.blanks[words - 1] &= kept;
    }
    b.quotes[words] = b.commas[words] = b.line_ends[words] = b.pipes[words] = b.blanks[words] = 0;
    b.bytes[b.size] = 0;
}
