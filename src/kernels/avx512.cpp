// AVX-512: 64 bytes, one mask word, at a time; the finishing pass gathers
// the bytes it keeps with VBMI2's byte compression.
#include <immintrin.h>

#include "kernels/finish_words.h"
#include "kernels/units.h"

#define AVX512 gnu::target("avx512f,avx512bw,avx512vbmi2,bmi,bmi2,popcnt")

namespace {

[[AVX512]] void scan_block(const block& b, std::size_t words)
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
        b.quotes[w] = _mm512_cmpeq_epi8_mask(v, quote);
        b.commas[w] = _mm512_cmpeq_epi8_mask(v, comma);
        b.line_ends[w] = _mm512_cmpeq_epi8_mask(v, cr) | _mm512_cmpeq_epi8_mask(v, lf);
        b.pipes[w] = _mm512_cmpeq_epi8_mask(v, pipe);
        b.blanks[w] = _mm512_cmpeq_epi8_mask(v, space) | _mm512_cmpeq_epi8_mask(v, tab);
    }
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

// A whole word in one compression: the word without its enclosing quotes.
[[AVX512, gnu::flatten]] unsigned char* finish_words(
    const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    const __m512i quote = _mm512_set1_epi8('"');
    for (std::size_t pos = 0; pos < n; pos += 64) {
        const std::size_t size = n - pos < 64 ? n - pos : 64;
        const __m512i v = _mm512_loadu_si512(in + pos);
        const std::uint64_t kept = kept_bytes(_mm512_cmpeq_epi8_mask(v, quote), in + pos, size, c);
        _mm512_storeu_si512(out, kept == ~std::uint64_t {0} >> (64 - size) ? v : _mm512_maskz_compress_epi8(kept, v));
        out += std::popcount(kept);
    }
    return out;
}

}  // namespace

kernel_table avx512_kernels()
{
    kernel_table k = avx2_kernels();
    k.unit = vector_unit::avx512;
    k.scan_block = scan_block;
    k.copy_record = copy_record;
    k.finish_words = finish_words;
    return k;
}
