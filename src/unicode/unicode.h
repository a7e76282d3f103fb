// UTF-16 and UTF-8, converted both ways. Files that begin with a UTF-16
// mark are read as UTF-8 and written back as UTF-16; on Windows, names and
// console text cross between the system's UTF-16 and the program's UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Decodes the whole UTF-16 units of in (little- or big-endian) into UTF-8
// at out, which has room for in_length * 3 / 2 bytes. consumed is set to
// the bytes decoded: a unit cut in two, or a high surrogate whose partner
// has not come yet, is left for the next call. Returns the bytes written,
// or -1 at a surrogate without its partner.
std::ptrdiff_t utf16_to_utf8(
    const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out, std::size_t& consumed);

// Encodes the whole UTF-8 sequences of in as UTF-16 at out, which has room
// for 2 * in_length bytes. consumed is set to the bytes encoded: a sequence
// cut off at the end is left for the next call, unless last. A byte that
// begins no valid sequence becomes U+FFFD. Returns the bytes written.
std::size_t utf8_to_utf16(const unsigned char* in, std::size_t in_length, bool big_endian, unsigned char* out,
    std::size_t& consumed, bool last);

// System text and names: a surrogate without its partner, which Windows
// allows in a name, is carried as the three bytes UTF-8 would give it, so
// that every name comes back as it was.
// A byte that begins no valid sequence becomes U+FFFD, or what stray says.
std::string utf8_from_wide(std::u16string_view wide);
std::u16string wide_from_utf8(std::string_view text, char16_t (*stray)(unsigned char) = nullptr);
