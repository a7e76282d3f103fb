// AVX-512: 64 bytes, one mask word, at a time; the finishing pass gathers
// the bytes it keeps with VBMI2's byte compression. Built on the AVX2
// unit, whose kernels it keeps where it has none of its own.
#include "kernels/units.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "kernels/loops.h"
#include "kernels/units.h"

#define AVX512 gnu::target(TROVANEX_AVX512)

namespace {

struct avx512_words {
    struct word {
        __m512i v;
        [[AVX512]] explicit word(const unsigned char* p)
            : v(_mm512_loadu_si512(p))
        {
        }
    };
    [[AVX512]] static std::uint64_t equal(const word& w, unsigned char b)
    {
        return _mm512_cmpeq_epi8_mask(w.v, _mm512_set1_epi8(static_cast<char>(b)));
    }
    [[AVX512]] static std::uint64_t either(const word& w, unsigned char one, unsigned char other)
    {
        return equal(w, one) | equal(w, other);
    }
    [[AVX512]] static void store(const word& w, unsigned char* out) { _mm512_storeu_si512(out, w.v); }
    // A whole word in one compression.
    [[AVX512]] static unsigned char* gather(const word& w, std::uint64_t kept, std::size_t, unsigned char* out)
    {
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(kept, w.v));
        return out + std::popcount(kept);
    }
};

[[AVX512, gnu::flatten]] void scan_block(const block& b, std::size_t words)
{
    scan_words<avx512_words>(b, words);
}

// The separators blended in by their mask.
[[AVX512]] unsigned char* copy_record(
    unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to, const std::uint64_t* separators)
{
    const __m512i pipe = _mm512_set1_epi8('|');
    for (std::size_t at = from; at < to; at += 64) {
        const __m512i v = _mm512_loadu_si512(bytes + at);
        _mm512_storeu_si512(out + (at - from), _mm512_mask_blend_epi8(bits_at(separators, at), v, pipe));
    }
    return out + (to - from);
}

[[AVX512, gnu::flatten]] unsigned char* finish_words(
    const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    return finish_words_with<avx512_words>(in, n, out, c);
}

kernel_table avx512_kernels()
{
    return overlaid(avx2_unit.kernels(),
        {.unit = vector_unit::avx512,
            .scan_block = scan_block,
            .copy_record = copy_record,
            .finish_words = finish_words});
}

}  // namespace

const unit_descriptor avx512_unit = {vector_unit::avx512, "avx512",
    [] { return processor_has(TROVANEX_AVX2) && processor_has(TROVANEX_AVX512); }, avx512_kernels};
#else
TROVANEX_NOT_CARRIED(avx512)
#endif
