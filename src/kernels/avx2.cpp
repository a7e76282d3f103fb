// AVX2: 32 bytes at a time, and byte shuffles. Each function is compiled
// for AVX2 alone, and with it the bit instructions every AVX2 processor
// has, and runs only where the processor has them.
#include <immintrin.h>

#include "kernels/field_ends.h"
#include "kernels/gather.h"
#include "kernels/units.h"

#define AVX2 gnu::target("avx2,bmi,bmi2,popcnt,pclmul")

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

// Bits counted and found in one instruction each, and quotes paired by one
// carry-less multiplication: by all ones, each bit becomes the parity of
// those up to it.
struct wide_bits {
    [[AVX2]] static int count(std::uint64_t x) { return std::popcount(x); }
    [[AVX2]] static std::uint64_t inside(std::uint64_t quotes)
    {
        const __m128i product
            = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(quotes)), _mm_set1_epi8(-1), 0);
        return static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
    }
};

[[AVX2, gnu::flatten]] found_counts find_field_ends(
    const block& b, std::size_t pos, std::size_t limit, field_ends& found, bool stretch, bool mark_line_breaks)
{
    return find_ends<wide_bits>(b, pos, limit, found, stretch, mark_line_breaks);
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

// Each word's enclosing quotes found by their mask, and the rest gathered
// by the table of shuffles, 16 bytes at a time.
[[AVX2, gnu::flatten]] unsigned char* finish_words(
    const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    const __m256i quote = _mm256_set1_epi8('"');
    for (std::size_t pos = 0; pos < n; pos += 64) {
        const std::size_t size = n - pos < 64 ? n - pos : 64;
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + pos));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + pos + 32));
        const std::uint64_t quotes = bits_of(_mm256_cmpeq_epi8(a, quote), 0) | bits_of(_mm256_cmpeq_epi8(b, quote), 1);
        const std::uint64_t kept = kept_bytes(quotes, in + pos, size, c);
        if (kept == ~std::uint64_t {0} >> (64 - size)) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), a);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), b);
            out += size;
            continue;
        }
        const __m128i parts[4] = {_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1), _mm256_castsi256_si128(b),
            _mm256_extracti128_si256(b, 1)};
        for (unsigned i = 0; i < 4; ++i)
            out = gather16(parts[i], static_cast<unsigned>(kept >> (16 * i)) & 0xFFFF, out);
    }
    return out;
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
