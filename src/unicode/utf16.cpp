#include "unicode/unicode.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_high_surrogate(char32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(char32_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// A code point as UTF-8; a lone surrogate comes out as its three bytes.
unsigned char* put_utf8(unsigned char* out, char32_t c)
{
    if (c < 0x80) {
        *out++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<unsigned char>(0xC0 | (c >> 6));
        *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<unsigned char>(0xE0 | (c >> 12));
        *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<unsigned char>(0xF0 | (c >> 18));
        *out++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    return out;
}

unsigned char* put_unit(unsigned char* out, char32_t unit, bool big_endian)
{
    const auto high = static_cast<unsigned char>(unit >> 8);
    const auto low = static_cast<unsigned char>(unit & 0xFF);
    *out++ = big_endian ? high : low;
    *out++ = big_endian ? low : high;
    return out;
}

unsigned char* put_utf16(unsigned char* out, char32_t c, bool big_endian)
{
    if (c < 0x10000)
        return put_unit(out, c, big_endian);
    c -= 0x10000;
    out = put_unit(out, 0xD800 + (c >> 10), big_endian);
    return put_unit(out, 0xDC00 + (c & 0x3FF), big_endian);
}

// What one UTF-8 sequence at in[0, length) holds.
struct sequence {
    enum { whole, cut_off, invalid } kind;
    char32_t code_point;
    std::size_t length;
};

// Reads the sequence at in. Surrogates written as three bytes are taken
// only where lone_surrogates is set, as names may hold them.
sequence read_utf8(const unsigned char* in, std::size_t length, bool lone_surrogates)
{
    const unsigned char lead = in[0];
    if (lead < 0x80)
        return {sequence::whole, lead, 1};
    std::size_t n;
    char32_t c;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        c = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED && !lone_surrogates)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        c = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return {sequence::invalid, REPLACEMENT, 1};
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (i == length)
            return {sequence::cut_off, REPLACEMENT, 1};
        const unsigned char b = in[i];
        if (i == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80)
            return {sequence::invalid, REPLACEMENT, 1};
        c = (c << 6) | (b & 0x3F);
    }
    return {sequence::whole, c, n};
}

#if defined(__SSE2__)
__m128i swap_bytes(__m128i v)
{
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}
#endif

}  // namespace

std::ptrdiff_t utf16_to_utf8(
    const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out, std::size_t& consumed)
{
    const std::size_t whole = in_length & ~std::size_t {1};
    unsigned char* const start = out;
    std::size_t i = 0;
    while (i < whole) {
#if defined(__SSE2__)
        // Sixteen units at a time while they are all ASCII, as most are.
        const __m128i not_ascii = _mm_set1_epi16(static_cast<short>(0xFF80));
        for (; whole - i >= 32; i += 32, out += 16) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 16));
            if (big_endian) {
                a = swap_bytes(a);
                b = swap_bytes(b);
            }
            const __m128i high_bits = _mm_and_si128(_mm_or_si128(a, b), not_ascii);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(high_bits, _mm_setzero_si128())) != 0xFFFF)
                break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(a, b));
        }
#endif
        // Then unit by unit, for the stretch the fast way stopped at.
        const std::size_t stretch_end = whole - i > 32 ? i + 32 : whole;
        while (i < stretch_end) {
            const auto unit_at = [&](std::size_t at) -> char32_t {
                return big_endian ? (in[at] << 8) | in[at + 1] : in[at] | (in[at + 1] << 8);
            };
            const char32_t unit = unit_at(i);
            if (is_low_surrogate(unit))
                return -1;
            if (!is_high_surrogate(unit)) {
                out = put_utf8(out, unit);
                i += 2;
                continue;
            }
            if (whole - i < 4) {
                consumed = i;  // its partner comes with the next call
                return out - start;
            }
            const char32_t partner = unit_at(i + 2);
            if (!is_low_surrogate(partner))
                return -1;
            out = put_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (partner - 0xDC00));
            i += 4;
        }
    }
    consumed = i;
    return out - start;
}

std::size_t utf8_to_utf16(const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out,
    std::size_t& consumed, bool last)
{
    unsigned char* const start = out;
    std::size_t i = 0;
    while (i < in_length) {
#if defined(__SSE2__)
        for (; in_length - i >= 16; i += 16, out += 32) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            if (_mm_movemask_epi8(v) != 0)
                break;
            const __m128i zero = _mm_setzero_si128();
            const __m128i first = big_endian ? _mm_unpacklo_epi8(zero, v) : _mm_unpacklo_epi8(v, zero);
            const __m128i second = big_endian ? _mm_unpackhi_epi8(zero, v) : _mm_unpackhi_epi8(v, zero);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), second);
        }
#endif
        const std::size_t stretch_end = in_length - i > 16 ? i + 16 : in_length;
        while (i < stretch_end) {
            const sequence s = read_utf8(in + i, in_length - i, false);
            if (s.kind == sequence::cut_off && !last) {
                consumed = i;
                return static_cast<std::size_t>(out - start);
            }
            out = put_utf16(out, s.code_point, big_endian);
            i += s.length;
        }
    }
    consumed = i;
    return static_cast<std::size_t>(out - start);
}

std::string utf8_from_wide(std::u16string_view wide)
{
    std::string text;
    text.reserve(wide.size() * 3);
    unsigned char bytes[4];
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (is_high_surrogate(c) && i + 1 < wide.size() && is_low_surrogate(wide[i + 1]))
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        const unsigned char* const end = put_utf8(bytes, c);
        text.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(end - bytes));
    }
    return text;
}

std::u16string wide_from_utf8(std::string_view text, char16_t (*stray)(unsigned char))
{
    std::u16string wide;
    wide.reserve(text.size());
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const sequence s = read_utf8(in + i, text.size() - i, true);
        if (s.kind != sequence::whole && stray != nullptr) {
            wide += stray(in[i]);
        } else if (s.code_point < 0x10000) {
            wide += static_cast<char16_t>(s.code_point);
        } else {
            wide += static_cast<char16_t>(0xD800 + ((s.code_point - 0x10000) >> 10));
            wide += static_cast<char16_t>(0xDC00 + ((s.code_point - 0x10000) & 0x3FF));
        }
        i += s.length;
    }
    return wide;
}
