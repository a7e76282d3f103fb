// UTF-16 to UTF-8 and back, the same for every unit but for how a run of
// ASCII, as most text is, goes through: each unit passes its own.
#pragma once

#include <cstddef>

#include "unicode/code_points.h"

// What kernel_table::utf16_to_utf8 does. Ascii(in, n, big_endian, out)
// takes whole units from in, at most n bytes of them, for as long as it
// finds them all ASCII, writes a byte for each, and returns the bytes it
// took; the units it stopped at go one by one.
template <auto Ascii>
std::ptrdiff_t decode_utf16(
    const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out, std::size_t& consumed)
{
    const std::size_t whole = in_length & ~std::size_t {1};
    unsigned char* const start = out;
    std::size_t i = 0;
    while (i < whole) {
        const std::size_t taken = Ascii(in + i, whole - i, big_endian, out);
        i += taken;
        out += taken / 2;
        const std::size_t stretch_end = whole - i > 32 ? i + 32 : whole;
        while (i < stretch_end) {
            const char32_t unit = utf16_unit_at(in + i, big_endian);
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
            const char32_t partner = utf16_unit_at(in + i + 2, big_endian);
            if (!is_low_surrogate(partner))
                return -1;
            out = put_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (partner - 0xDC00));
            i += 4;
        }
    }
    consumed = i;
    return out - start;
}

// What kernel_table::utf8_to_utf16 does. Ascii(in, n, big_endian, out)
// takes bytes from in, at most n, for as long as it finds them all ASCII,
// writes a unit for each, and returns the bytes it took.
template <auto Ascii>
std::size_t encode_utf16(const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out,
    std::size_t& consumed, bool last)
{
    unsigned char* const start = out;
    std::size_t i = 0;
    while (i < in_length) {
        const std::size_t taken = Ascii(in + i, in_length - i, big_endian, out);
        i += taken;
        out += 2 * taken;
        const std::size_t stretch_end = in_length - i > 16 ? i + 16 : in_length;
        while (i < stretch_end) {
            const utf8_sequence s = read_utf8(in + i, in_length - i, false);
            if (s.kind == utf8_sequence::cut_off && !last) {
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
