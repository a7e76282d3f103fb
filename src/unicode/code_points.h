// One code point at a time, in and out of UTF-8 and UTF-16: what the
// transcoders do wherever text is not plain ASCII.
#pragma once

#include <cstddef>

inline constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

inline bool is_high_surrogate(char32_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

inline bool is_low_surrogate(char32_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// A code point as UTF-8; a lone surrogate comes out as its three bytes.
inline unsigned char* put_utf8(unsigned char* out, char32_t c)
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

inline unsigned char* put_utf16_unit(unsigned char* out, char32_t unit, bool big_endian)
{
    const auto high = static_cast<unsigned char>(unit >> 8);
    const auto low = static_cast<unsigned char>(unit & 0xFF);
    *out++ = big_endian ? high : low;
    *out++ = big_endian ? low : high;
    return out;
}

inline unsigned char* put_utf16(unsigned char* out, char32_t c, bool big_endian)
{
    if (c < 0x10000)
        return put_utf16_unit(out, c, big_endian);
    c -= 0x10000;
    out = put_utf16_unit(out, 0xD800 + (c >> 10), big_endian);
    return put_utf16_unit(out, 0xDC00 + (c & 0x3FF), big_endian);
}

inline char32_t utf16_unit_at(const unsigned char* in, bool big_endian)
{
    return big_endian ? static_cast<char32_t>((in[0] << 8) | in[1]) : static_cast<char32_t>(in[0] | (in[1] << 8));
}

// What one UTF-8 sequence at in[0, length) holds.
struct utf8_sequence {
    enum { whole, cut_off, invalid } kind;
    char32_t code_point;
    std::size_t length;
};

// Reads the sequence at in. Surrogates written as three bytes are taken
// only where lone_surrogates is set, as names may hold them.
inline utf8_sequence read_utf8(const unsigned char* in, std::size_t length, bool lone_surrogates)
{
    const unsigned char lead = in[0];
    if (lead < 0x80)
        return {utf8_sequence::whole, lead, 1};
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
        return {utf8_sequence::invalid, REPLACEMENT_CHARACTER, 1};
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (i == length)
            return {utf8_sequence::cut_off, REPLACEMENT_CHARACTER, 1};
        const unsigned char b = in[i];
        if (i == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80)
            return {utf8_sequence::invalid, REPLACEMENT_CHARACTER, 1};
        c = (c << 6) | (b & 0x3F);
    }
    return {utf8_sequence::whole, c, n};
}
