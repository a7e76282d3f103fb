// UTF-16 to UTF-8 and back, the same for every unit but for how runs of
// plain text go through: each unit passes its own way with them.
#pragma once

#include <cstddef>

#include "unicode/code_points.h"

// How far a unit's fast way went: the input bytes it took, and the end of
// what it wrote.
struct transcoded {
    std::size_t taken;
    unsigned char* out;
};

// What kernel_table::utf16_to_utf8 does. Fast(in, n, big_endian, out)
// takes whole units from in, at most n bytes of them, for as long as it
// can (ASCII at least, surrogates never) and writes their UTF-8 at out;
// the code point it stopped at goes the plain way before Fast goes on.
template <auto Fast>
std::ptrdiff_t decode_utf16(
    const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out, std::size_t& consumed)
{
    const std::size_t whole = in_length & ~std::size_t {1};
    unsigned char* const start = out;
    std::size_t i = 0;
    while (i < whole) {
        const transcoded fast = Fast(in + i, whole - i, big_endian, out);
        i += fast.taken;
        out = fast.out;
        if (i == whole)
            break;
        const char32_t unit = utf16_unit_at(in + i, big_endian);
        if (is_low_surrogate(unit))
            return -1;
        if (!is_high_surrogate(unit)) {
            out = put_utf8(out, unit);
            i += 2;
            continue;
        }
        if (whole - i < 4)
            break;  // its partner comes with the next call
        const char32_t partner = utf16_unit_at(in + i + 2, big_endian);
        if (!is_low_surrogate(partner))
            return -1;
        out = put_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (partner - 0xDC00));
        i += 4;
    }
    consumed = i;
    return out - start;
}

// What kernel_table::utf8_to_utf16 does. Fast(in, n, big_endian, out)
// takes bytes from in, at most n, for as long as it can (ASCII at least)
// and writes their UTF-16 at out; the sequence it stopped at goes the
// plain way before Fast goes on.
template <auto Fast>
std::size_t encode_utf16(const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out,
    std::size_t& consumed, bool last)
{
    unsigned char* const start = out;
    std::size_t i = 0;
    while (i < in_length) {
        const transcoded fast = Fast(in + i, in_length - i, big_endian, out);
        i += fast.taken;
        out = fast.out;
        if (i == in_length)
            break;
        const utf8_sequence s = read_utf8(in + i, in_length - i, false);
        if (s.kind == utf8_sequence::cut_off && !last)
            break;
        out = put_utf16(out, s.code_point, big_endian);
        i += s.length;
    }
    consumed = i;
    return static_cast<std::size_t>(out - start);
}

// A unit's fast way for decode_utf16 where it turns units into UTF-8
// eight at a time: runs of ASCII as Ascii(in, n, big_endian, out) takes
// them, and eight units of the Basic Multilingual Plane at a time, each
// made its one to three bytes; a surrogate stops it. U has:
//   units(p, big_endian)    eight units from p in 16-bit lanes
//   any_surrogate(units)
//   pack_eight(units, out)  their UTF-8 at out, storing 32 bytes at most;
//                           returns its end
template <typename U, auto Ascii>
[[gnu::always_inline]] inline transcoded plane_from_utf16_with(
    const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    std::size_t taken = 0;
    while (n - taken >= 32) {
        const transcoded ascii = Ascii(in + taken, n - taken, big_endian, out);
        taken += ascii.taken;
        out = ascii.out;
        if (n - taken < 16)
            break;
        const auto units = U::units(in + taken, big_endian);
        if (U::any_surrogate(units))
            break;
        out = U::pack_eight(units, out);
        taken += 16;
    }
    return {taken, out};
}

// For the units that turn units into UTF-8 four at a time: each unit in a
// 32-bit lane as its one to three bytes, and for each choice of lengths
// (bit i of the low half: lane i is ASCII; of the high half: it is below
// U+0800) the shuffle that packs the lanes' bytes, and how many there are.
struct utf8_packing {
    unsigned char shuffle[256][16];
    unsigned char length[256];
};

constexpr utf8_packing make_utf8_packing()
{
    utf8_packing t {};
    for (unsigned code = 0; code < 256; ++code) {
        unsigned char n = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const unsigned length = (code >> lane) & 1 ? 1 : (code >> (4 + lane)) & 1 ? 2 : 3;
            for (unsigned b = 0; b < length; ++b)
                t.shuffle[code][n++] = static_cast<unsigned char>(4 * lane + b);
        }
        t.length[code] = n;
        for (unsigned char i = n; i < 16; ++i)
            t.shuffle[code][i] = 0x80;  // a zero byte
    }
    return t;
}

inline constexpr utf8_packing UTF8_PACKING = make_utf8_packing();
