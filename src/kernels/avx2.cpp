// AVX2: 32 bytes at a time, and byte shuffles. Each function is compiled
// for TROVANEX_AVX2 and runs only where the processor has all of it.
#include "kernels/units.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "kernels/field_ends.h"
#include "kernels/gather.h"
#include "kernels/loops.h"
#include "kernels/units.h"

#define AVX2 gnu::target(TROVANEX_AVX2)

namespace {

// A word as two registers; its kept bytes gathered 16 at a time.
struct avx2_words {
    struct word {
        __m256i low, high;
        [[AVX2]] explicit word(const unsigned char* p)
            : low(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)))
            , high(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)))
        {
        }
    };
    [[AVX2]] static std::uint64_t mask(__m256i low, __m256i high)
    {
        return static_cast<unsigned>(_mm256_movemask_epi8(low))
            | static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_epi8(high))) << 32;
    }
    [[AVX2]] static std::uint64_t equal(const word& w, unsigned char b)
    {
        const __m256i v = _mm256_set1_epi8(static_cast<char>(b));
        return mask(_mm256_cmpeq_epi8(w.low, v), _mm256_cmpeq_epi8(w.high, v));
    }
    [[AVX2]] static std::uint64_t either(const word& w, unsigned char one, unsigned char other)
    {
        const __m256i x = _mm256_set1_epi8(static_cast<char>(one)), y = _mm256_set1_epi8(static_cast<char>(other));
        return mask(_mm256_or_si256(_mm256_cmpeq_epi8(w.low, x), _mm256_cmpeq_epi8(w.low, y)),
            _mm256_or_si256(_mm256_cmpeq_epi8(w.high, x), _mm256_cmpeq_epi8(w.high, y)));
    }
    [[AVX2]] static void store(const word& w, unsigned char* out)
    {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), w.low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), w.high);
    }
    [[AVX2]] static unsigned char* gather(const word& w, std::uint64_t kept, std::size_t, unsigned char* out)
    {
        const __m128i parts[4] = {_mm256_castsi256_si128(w.low), _mm256_extracti128_si256(w.low, 1),
            _mm256_castsi256_si128(w.high), _mm256_extracti128_si256(w.high, 1)};
        for (unsigned i = 0; i < 4; ++i)
            out = gather16(parts[i], static_cast<unsigned>(kept >> (16 * i)) & 0xFFFF, out);
        return out;
    }
};

[[AVX2, gnu::flatten]] void scan_block(const block& b, std::size_t words)
{
    scan_words<avx2_words>(b, words);
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

[[AVX2, gnu::flatten]] unsigned char* finish_words(
    const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    return finish_words_with<avx2_words>(in, n, out, c);
}

kernel_table avx2_kernels()
{
    return overlaid(sse2_unit.kernels(),
        {.unit = vector_unit::avx2,
            .scan_block = scan_block,
            .find_field_ends = find_field_ends,
            .copy_record = copy_record,
            .finish_words = finish_words});
}

}  // namespace

const unit_descriptor avx2_unit
    = {vector_unit::avx2, "avx2", [] { return processor_has(TROVANEX_AVX2); }, avx2_kernels};
#else
TROVANEX_NOT_CARRIED(avx2)
#endif
