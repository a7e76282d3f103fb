// A field's bytes a word at a time, in plain C++: the portable unit's
// looks and clean-ups, and the short fields and tails of the units that
// take 16 bytes at a time.
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
// quote where quote is, CR and LF where line_breaks is. Exact.
inline std::uint64_t look_flags(std::uint64_t word, bool pipe, bool quote, bool line_breaks)
{
    std::uint64_t flags = 0;
    if (line_breaks)
        flags = bytes_exactly_equal(word, '\n') | bytes_exactly_equal(word, '\r');
    if (pipe)
        flags |= bytes_exactly_equal(word, '|');
    if (quote)
        flags |= bytes_exactly_equal(word, '"');
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

// The word at p with its line breaks made spaces; its line feeds are
// counted, and pipe is set at its first '|' unless it is set already. A
// word may overlap one done before: its line breaks are spaces by then,
// and a '|' there would have been found.
inline void line_breaks_to_spaces_at(unsigned char* p, std::size_t& line_feeds, unsigned char*& pipe)
{
    const std::uint64_t word = load_word(p);
    const std::uint64_t feeds = bytes_exactly_equal(word, '\n');
    const std::uint64_t breaks = feeds | bytes_exactly_equal(word, '\r');
    if (pipe == nullptr) {
        if (const std::uint64_t pipes = bytes_exactly_equal(word, '|'))
            pipe = p + first_flagged(pipes);
    }
    if (breaks == 0)
        return;
    line_feeds += static_cast<std::size_t>(count_bits(feeds));
    const std::uint64_t bytes = (breaks >> 7) * 0xFF;
    store_word(p, (word & ~bytes) | (BYTE_ONES * ' ' & bytes));
}

// What kernel_table::line_breaks_to_spaces does, from p to end: a word at
// a time, the last one overlapping, and byte by byte below a word; pipe is
// set at the first '|' unless it is set already.
inline std::size_t line_breaks_to_spaces_words(unsigned char* p, unsigned char* end, unsigned char*& pipe)
{
    std::size_t line_feeds = 0;
    if (end - p >= 8) {
        for (; end - p > 8; p += 8)
            line_breaks_to_spaces_at(p, line_feeds, pipe);
        line_breaks_to_spaces_at(end - 8, line_feeds, pipe);
        return line_feeds;
    }
    for (; p != end; ++p) {
        if (*p == '\n' || *p == '\r') {
            line_feeds += *p == '\n';
            *p = ' ';
        } else if (*p == '|' && pipe == nullptr) {
            pipe = p;
        }
    }
    return line_feeds;
}

// What kernel_table::remove_line_breaks does: the runs between line
// breaks moved down over them, the breaks and the first '|' found a word at
// a time, the last word overlapping the one before.
inline std::size_t remove_line_breaks_words(unsigned char* field, std::size_t& length, unsigned char*& pipe)
{
    pipe = nullptr;
    std::size_t line_feeds = 0;
    unsigned char* kept = field;
    const unsigned char* run = field;  // the start of the bytes not yet moved down
    const unsigned char* const end = field + length;
    const auto found = [&](const unsigned char* at) __attribute__((always_inline))
    {
        if (*at == '|') {
            if (pipe == nullptr)
                pipe = kept + (at - run);
            return;
        }
        move_bytes(kept, run, static_cast<std::size_t>(at - run));
        kept += at - run;
        line_feeds += *at == '\n';
        run = at + 1;
    };
    if (length >= 8) {
        // Moves only ever write below the byte found, so what is still to be
        // read stays as it was.
        for (const unsigned char* p = field;; p += 8) {
            const unsigned char* const at = end - p >= 8 ? p : end - 8;
            const std::uint64_t word = load_word(at);
            std::uint64_t flags = bytes_exactly_equal(word, '\n') | bytes_exactly_equal(word, '\r');
            if (pipe == nullptr)
                flags |= bytes_exactly_equal(word, '|');
            for (flags &= ~std::uint64_t {0} << (8 * (p - at)); flags != 0; flags &= flags - 1)
                found(at + first_flagged(flags));
            if (end - p <= 8)
                break;
        }
    } else {
        for (const unsigned char* p = field; p != end; ++p) {
            if (*p == '\n' || *p == '\r' || *p == '|')
                found(p);
        }
    }
    move_bytes(kept, run, static_cast<std::size_t>(end - run));
    length = static_cast<std::size_t>(kept + (end - run) - field);
    return line_feeds;
}
