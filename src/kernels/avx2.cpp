// AVX2: 32 bytes at a time, and byte shuffles. Each function is compiled
// for AVX2 alone, and with it the bit instructions every AVX2 processor
// has, and runs only where the processor has them.
#include <immintrin.h>

#include "kernels/field_ends.h"
#include "kernels/finish_words.h"
#include "kernels/units.h"

#define AVX2 gnu::target("avx2,bmi,bmi2,popcnt")

namespace {

[[AVX2, gnu::always_inline]] inline std::uint64_t bits_of(__m256i hits, unsigned part)
{
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(hits))) << (32 * part);
}

[[AVX2]] void scan_block(const block& b, std::size_t words)
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
        std::uint64_t quotes = 0, commas = 0, line_ends = 0, pipes = 0, blanks = 0;
        for (unsigned i = 0; i < 2; ++i) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
            quotes |= bits_of(_mm256_cmpeq_epi8(v, quote), i);
            commas |= bits_of(_mm256_cmpeq_epi8(v, comma), i);
            line_ends |= bits_of(_mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(v, lf)), i);
            pipes |= bits_of(_mm256_cmpeq_epi8(v, pipe), i);
            blanks |= bits_of(_mm256_or_si256(_mm256_cmpeq_epi8(v, space), _mm256_cmpeq_epi8(v, tab)), i);
        }
        b.quotes[w] = quotes;
        b.commas[w] = commas;
        b.line_ends[w] = line_ends;
        b.pipes[w] = pipes;
        b.blanks[w] = blanks;
    }
}

// Bits counted and found in one instruction each.
[[AVX2]] found_counts find_field_ends(
    const block& b, std::size_t pos, std::size_t limit, field_ends& found, bool stretch, bool mark_line_breaks)
{
    return find_ends<true>(b, pos, limit, found, stretch, mark_line_breaks);
}

// Each byte takes its bit of the mask, and where it is set, a '|'.
[[AVX2]] unsigned char* copy_record(
    unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to, const std::uint64_t* separators)
{
    const __m256i pipe = _mm256_set1_epi8('|');
    const __m256i spread = _mm256_setr_epi8(
        0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    for (std::size_t at = from; at < to; at += 32) {
        const auto bits = static_cast<std::uint32_t>(bits_at(separators, at));
        const __m256i each = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), spread);
        const __m256i set = _mm256_cmpeq_epi8(_mm256_and_si256(each, bit), bit);
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + at));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (at - from)), _mm256_blendv_epi8(v, pipe, set));
    }
    return out + (to - from);
}

[[AVX2]] word_masks scan_word(const unsigned char* p)
{
    word_masks m {0, 0};
    for (unsigned i = 0; i < 2; ++i) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
        m.quotes |= bits_of(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')), i);
        m.pipes |= bits_of(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('|')), i);
    }
    return m;
}

[[AVX2, gnu::flatten]] unsigned char* finish_words(
    const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    return finish_words_by<scan_word>(in, n, out, c);
}

}  // namespace

kernel_table avx2_kernels()
{
    kernel_table k = sse2_kernels();
    k.unit = vector_unit::avx2;
    k.scan_block = scan_block;
    k.find_field_ends = find_field_ends;
    k.copy_record = copy_record;
    k.finish_words = finish_words;
    return k;
}
