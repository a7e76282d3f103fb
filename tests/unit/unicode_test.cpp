#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support.h"
#include "unicode/unicode.h"

namespace {

using bytes = std::basic_string<unsigned char>;

// The plain encoding, one code point at a time, to compare against.
bytes plain_utf8(const std::vector<char32_t>& text)
{
    bytes out;
    for (const char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            out += {static_cast<unsigned char>(0xC0 | c >> 6), static_cast<unsigned char>(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            out += {static_cast<unsigned char>(0xE0 | c >> 12), static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F)),
                static_cast<unsigned char>(0x80 | (c & 0x3F))};
        } else {
            out += {static_cast<unsigned char>(0xF0 | c >> 18), static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F)),
                static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F)), static_cast<unsigned char>(0x80 | (c & 0x3F))};
        }
    }
    return out;
}

// Decodes in pieces of at most piece bytes, as reads bring them.
bytes decode_in_pieces(const bytes& in, bool big_endian, std::size_t piece)
{
    bytes out, pending;
    for (std::size_t at = 0; at < in.size(); at += piece) {
        pending += in.substr(at, piece);
        std::vector<unsigned char> room(pending.size() * 3 / 2 + UTF16_DECODE_SLACK);
        std::size_t consumed = 0;
        const std::ptrdiff_t n
            = run_kernels.utf16_to_utf8(pending.data(), pending.size(), big_endian, room.data(), consumed);
        EXPECT_GE(n, 0);
        out.append(room.data(), static_cast<std::size_t>(n));
        pending.erase(0, consumed);
    }
    EXPECT_TRUE(pending.empty());
    return out;
}

bytes encode_in_pieces(const bytes& in, bool big_endian, std::size_t piece)
{
    bytes out, pending;
    for (std::size_t at = 0; at < in.size(); at += piece) {
        pending += in.substr(at, piece);
        std::vector<unsigned char> room(pending.size() * 2 + 1);
        std::size_t consumed = 0;
        const bool last = at + piece >= in.size();
        out.append(room.data(),
            run_kernels.utf8_to_utf16(pending.data(), pending.size(), big_endian, room.data(), consumed, last));
        pending.erase(0, consumed);
    }
    EXPECT_TRUE(pending.empty());
    return out;
}

// Runs of ASCII, which take the fast way, between code points from every
// range, so that each kind of sequence meets every piece edge.
TEST(Unicode, BothWaysInPiecesOfEverySize)
{
    std::mt19937 random(16);
    std::vector<char32_t> text;
    const char32_t edges[] = {0, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFEFF, 0xFFFF, 0x10000, 0x10FFFF};
    for (int i = 0; i < 600; ++i) {
        const int kind = static_cast<int>(random() % 4);
        if (kind == 0)
            text.insert(text.end(), random() % 40, U'a' + static_cast<char32_t>(random() % 26));
        else if (kind == 1)
            text.push_back(edges[random() % std::size(edges)]);
        else if (kind == 2)
            text.push_back(0x80 + random() % (0xD800 - 0x80));
        else
            text.push_back(0x10000 + random() % 0x100000);
    }
    const bytes utf8 = plain_utf8(text);
    for (const vector_unit unit : vector_units()) {
        const unit_in_use use(unit);
        for (const bool big_endian : {false, true}) {
            const std::string wide = utf16_of(std::string(utf8.begin(), utf8.end()), big_endian);
            const bytes utf16(wide.begin(), wide.end());
            for (const std::size_t piece : {1, 2, 3, 5, 7, 31, 32, 33, 64, 100000}) {
                SCOPED_TRACE(std::string(vector_unit_name(unit)) + ", pieces of " + std::to_string(piece));
                EXPECT_TRUE(decode_in_pieces(utf16, big_endian, piece) == utf8);
                EXPECT_TRUE(encode_in_pieces(utf8, big_endian, piece) == utf16);
            }
        }
    }
}

TEST(Unicode, SurrogatesWithoutPartnersAreRefused)
{
    const std::vector<bytes> refused = {
        {0x00, 0xDC},  // a low one alone
        {0x00, 0xD8, 0x41, 0x00},  // a high one, then a letter
        {0x00, 0xD8, 0x00, 0xD8},  // two high ones
        bytes(40, 'a') + bytes {0x00, 0xDF} + bytes(40, 'a'),  // in the middle of a fast stretch
    };
    for (const vector_unit unit : vector_units()) {
        const unit_in_use use(unit);
        SCOPED_TRACE(vector_unit_name(unit));
        for (const bytes& in : refused) {
            std::vector<unsigned char> room(in.size() * 3 / 2 + UTF16_DECODE_SLACK);
            std::size_t consumed = 0;
            EXPECT_EQ(run_kernels.utf16_to_utf8(in.data(), in.size(), false, room.data(), consumed), -1);
        }
        // Among non-ASCII units, which SSSE3 and NEON take eight at a time:
        // a lone one at every place in a group, in either byte order.
        for (const bool big_endian : {false, true}) {
            for (std::size_t at = 0; at < 17; ++at) {
                for (const char16_t lone : {u'\xDC00', u'\xD800'}) {
                    std::u16string units(20, u'\x4E2D');
                    units[at] = lone;
                    units[at + 1] = u'\xE9';  // no partner for a high one either
                    bytes in;
                    for (const char16_t u : units) {
                        const auto high = static_cast<unsigned char>(u >> 8), low = static_cast<unsigned char>(u);
                        in += big_endian ? bytes {high, low} : bytes {low, high};
                    }
                    std::vector<unsigned char> room(in.size() * 3 / 2 + UTF16_DECODE_SLACK);
                    std::size_t consumed = 0;
                    EXPECT_EQ(run_kernels.utf16_to_utf8(in.data(), in.size(), big_endian, room.data(), consumed), -1)
                        << "at " << at << (big_endian ? ", big-endian" : "");
                }
            }
        }
        // A high one at the end, and an odd byte, wait for what follows.
        const bytes open = {'a', 0, 0x3D, 0xD8, 'b'};
        unsigned char room[8 + UTF16_DECODE_SLACK];
        std::size_t consumed = 0;
        EXPECT_EQ(run_kernels.utf16_to_utf8(open.data(), open.size(), false, room, consumed), 1);
        EXPECT_EQ(consumed, 2u);
    }
}

TEST(Unicode, InvalidUtf8BecomesReplacementCharacters)
{
    const bytes in = {'a', 0xFF, 0xC3, 'b', 0xED, 0xA0, 0x80, 0xE2, 0x82};
    unsigned char room[32];
    std::size_t consumed = 0;
    const std::size_t n = run_kernels.utf8_to_utf16(in.data(), in.size(), true, room, consumed, true);
    EXPECT_EQ(consumed, in.size());
    const bytes expected
        = {0, 'a', 0xFF, 0xFD, 0xFF, 0xFD, 0, 'b', 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD};
    EXPECT_TRUE(bytes(room, n) == expected);
}

TEST(Unicode, NamesComeBackAsTheyWere)
{
    const std::u16string names[] = {u"東京.csv", u"Łódź żółć", u"\U0001F600.csv", u"\xFF0Dr.csv",
        std::u16string(u"a") + char16_t(0xD800) + u"b" + char16_t(0xDC00), std::u16string(1, char16_t(0xDBFF))};
    for (const std::u16string& name : names)
        EXPECT_TRUE(wide_from_utf8(utf8_from_wide(name)) == name);
    EXPECT_EQ(utf8_from_wide(u"東京"), "東京");
    EXPECT_EQ(wide_from_utf8("\xFF"), u"\xFFFD");
}

}  // namespace
