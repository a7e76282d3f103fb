// What the input's first bytes say of its encoding, and the input as the
// splitter reads it: decompressed where it is compressed, a byte-order mark
// kept out, UTF-16 decoded to UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "decompress/decompress.h"

enum input_encoding : int {
    ENCODING_BYTES = 0,  // no mark: bytes are bytes, in and out
    ENCODING_UTF8_MARK,  // a UTF-8 mark, kept out of the parser and written back
    ENCODING_UTF16_LE,  // FF FE: read as UTF-8, written back as UTF-16 with the mark
    ENCODING_UTF16_BE,  // FE FF: the same, big-endian
};

inline bool is_utf16(input_encoding encoding)
{
    return encoding == ENCODING_UTF16_LE || encoding == ENCODING_UTF16_BE;
}

// What spreadsheet programs put at the start of "CSV UTF-8" files.
inline constexpr unsigned char BYTE_ORDER_MARK[] = {0xEF, 0xBB, 0xBF};

struct utf16_input;

// The input file on its way to the splitter. Written and read by the first
// pass alone.
struct decoded_input {
    raw_input raw;
    unpacker_ptr unpacked;  // where the input is compressed
    bool mark_read = false;  // the first bytes have come, and encoding says what they are
    input_encoding encoding = ENCODING_BYTES;
    // The input is not what it should be: not the UTF-16 its mark says, not
    // the compressed data its first bytes say, not to be converted as it is
    // (a zip archive), or cut short while it was read. reason says what is
    // wrong, where the errno's text does not (null: EILSEQ's).
    bool invalid = false;
    const char* reason = nullptr;
    std::unique_ptr<utf16_input> utf16;

    explicit decoded_input(int input);
    ~decoded_input();
    decoded_input(const decoded_input&) = delete;
    decoded_input& operator=(const decoded_input&) = delete;
};

// Fills into with up to room bytes of the input as text: how many came, 0
// at its end, or -1 with errno set (EILSEQ, and invalid set, for an input
// that is not what it should be). The first call's room must hold
// FORMAT_MARK_SIZE bytes, which tell whether the input is compressed.
std::ptrdiff_t read_decoded(decoded_input& in, unsigned char* into, std::size_t room);
