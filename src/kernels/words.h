// A field's bytes a word at a time, in plain C++: the portable unit's
// looks and clean-ups, and the tails that the vector units leave.
#pragma once

#include <cstring>

#include "common/bits.h"

// The bytes of a field shorter than a word, for a look at all of them at
// once: read as overlapping halves, or one by one below four bytes; zero
// bytes fill the rest.
inline std::uint64_t short_word(const unsigned char* p, std::size_t n)
{
    std::uint64_t word = 0;
    if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, p, sizeof head);
        std::memcpy(&tail, p + n - 4, sizeof tail);
        word = (static_cast<std::uint64_t>(head) << 32) | tail;
    } else {
        for (std::size_t i = 0; i < n; ++i)
            word = (word << 8) | p[i];
    }
    return word;
}

// Flags the bytes of a word that need a look: a '|' where pipe is set, a
// quote where quote is, CR and LF where line_breaks is. The first flag is
// exact.
inline std::uint64_t look_flags(std::uint64_t word, bool pipe, bool quote, bool line_breaks)
{
    std::uint64_t flags = 0;
    if (line_breaks)
        flags = bytes_equal(word, '\n') | bytes_equal(word, '\r');
    if (pipe)
        flags |= bytes_equal(word, '|');
    if (quote)
        flags |= bytes_equal(word, '"');
    return flags;
}

// What kernel_table::field_holds does. A tail shorter than a word is read
// as an overlapping word, and a field shorter than one as zero-padded
// halves, so a short field costs one or two looks.
inline bool field_holds_words(const unsigned char* p, std::size_t n, bool quotes, bool line_breaks)
{
    if (n < 8)
        return look_flags(short_word(p, n), true, quotes, line_breaks) != 0;
    const unsigned char* const last = p + n - 8;
    for (; p < last; p += 8) {
        if (look_flags(load_word(p), true, quotes, line_breaks) != 0)
            return true;
    }
    return look_flags(load_word(last), true, quotes, line_breaks) != 0;
}

// What kernel_table::line_breaks_to_spaces does, from p to end, walking a
// word at a time up to each byte that needs a look; pipe is set at the
// first '|' unless it is set already.
inline std::size_t line_breaks_to_spaces_words(unsigned char* p, unsigned char* end, unsigned char*& pipe)
{
    std::size_t line_feeds = 0;
    while (p != end) {
        if (end - p >= 8) {
            const std::uint64_t flags = look_flags(load_word(p), pipe == nullptr, false, true);
            if (flags == 0) {
                p += 8;
                continue;
            }
            p += first_flagged(flags);
        }
        if (*p == '\n') {
            ++line_feeds;
            *p = ' ';
        } else if (*p == '\r') {
            *p = ' ';
        } else if (*p == '|' && pipe == nullptr) {
            pipe = p;
        }
        ++p;
    }
    return line_feeds;
}

// What kernel_table::remove_line_breaks does.
inline std::size_t remove_line_breaks_words(unsigned char* field, std::size_t& length, unsigned char*& pipe)
{
    pipe = nullptr;
    std::size_t line_feeds = 0;
    unsigned char* kept = field;
    const unsigned char* p = field;
    const unsigned char* const end = field + length;
    while (p != end) {
        if (end - p >= 8) {
            const std::uint64_t flags = look_flags(load_word(p), pipe == nullptr, false, true);
            if (flags == 0) {
                std::memmove(kept, p, 8);
                kept += 8;
                p += 8;
                continue;
            }
            for (std::size_t plain = first_flagged(flags); plain > 0; --plain)
                *kept++ = *p++;
        }
        if (*p == '\n') {
            ++line_feeds;
        } else if (*p != '\r') {
            if (*p == '|' && pipe == nullptr)
                pipe = kept;
            *kept++ = *p;
        }
        ++p;
    }
    length = static_cast<std::size_t>(kept - field);
    return line_feeds;
}
