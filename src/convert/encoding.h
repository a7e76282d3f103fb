// What the input's first bytes say of its encoding, and the input as the
// splitter reads it: a byte-order mark kept out, UTF-16 decoded to UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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
    int fd;
    std::int64_t opened_size;  // a regular file's size when it was opened, else -1
    std::uint64_t raw_read = 0;  // bytes read from fd so far
    bool mark_read = false;  // the first bytes have come, and encoding says what they are
    input_encoding encoding = ENCODING_BYTES;
    // The input is not what it should be: not the UTF-16 its mark says, or
    // cut short while it was read. reason says what is wrong, where the
    // errno's text does not (null: EILSEQ's).
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
// that is not what it should be).
std::ptrdiff_t read_decoded(decoded_input& in, unsigned char* into, std::size_t room);
