// The field kernels of the units that take 16 bytes at a time (SSE2 and
// NEON), written once over the unit's lane operations, L:
//   reg                        16 bytes in a register
//   load(p), store(p, r)       16 bytes; load8, store8: 8, in the low half
//   store8_high(p, r)          the high half's 8
//   halves(p, q)               8 bytes from p, then 8 from q
//   from_word(w)               a word of short_word's, zeros above it
//   equal(r, byte), either(a, b), blend(set, if_set, otherwise)
//   bits(r)                    a mask of r's set bytes, BITS bits a byte
//   lanes16(r)                 the same, one bit a byte
//   gather16(r, kept, out)     the bytes whose bit of kept is set, packed
//                              at out, and up to 8 bytes past them; returns
//                              their end
// Fields are mostly short: up to 16 bytes are looked at in one register,
// the first 8 and the last 8, which overlap below 16.
#pragma once

#include <bit>

#include "kernels/words.h"

template <typename L> [[gnu::always_inline]] inline bool lanes_hold(typename L::reg v, bool quotes, bool line_breaks)
{
    typename L::reg hits = L::equal(v, '|');
    if (quotes)
        hits = L::either(hits, L::equal(v, '"'));
    if (line_breaks)
        hits = L::either(hits, L::either(L::equal(v, '\r'), L::equal(v, '\n')));
    return L::bits(hits) != 0;
}

// What kernel_table::field_holds does: longer fields 16 bytes at a time,
// the last 16 overlapping.
template <typename L>
[[gnu::always_inline]] inline bool field_holds_lanes(
    const unsigned char* p, std::size_t n, bool quotes, bool line_breaks)
{
    if (n < 8)
        return lanes_hold<L>(L::from_word(short_word(p, n)), quotes, line_breaks);
    if (n <= 16)
        return lanes_hold<L>(L::halves(p, p + n - 8), quotes, line_breaks);
    const unsigned char* const last = p + n - 16;
    for (; p < last; p += 16) {
        if (lanes_hold<L>(L::load(p), quotes, line_breaks))
            return true;
    }
    return lanes_hold<L>(L::load(last), quotes, line_breaks);
}

// The lanes of a halves() register that hold bytes of a field of n (8 to
// 16) bytes no lower lane holds: all 8 low ones, and the high ones from
// 24 - n on. Lane j above 8 holds byte n - 16 + j.
template <typename L> [[gnu::always_inline]] inline std::uint64_t halves_valid(std::size_t n)
{
    constexpr std::uint64_t all = L::BITS == 1 ? 0xFFFF : ~std::uint64_t {0};
    const std::uint64_t low = all >> (8 * L::BITS);
    return n == 8 ? low : low | ((all << ((24 - n) * L::BITS)) & all);
}

// The same, a bit a lane.
inline unsigned halves_lanes(std::size_t n)
{
    return n == 8 ? 0xFF : 0xFF | ((0xFFFFu << (24 - n)) & 0xFFFF);
}

inline std::size_t halves_byte(std::size_t lane, std::size_t n)
{
    return lane < 8 ? lane : n - 16 + lane;
}

// The 16 bytes at p with their line breaks made spaces, their line feeds counted and pipe set at their first
// '|' unless it is set already. Bytes may overlap those done before: their
// line breaks are spaces by then, and a '|' there would have been found.
template <typename L>
[[gnu::always_inline]] inline void line_breaks_to_spaces_at(
    unsigned char* p, std::size_t& line_feeds, unsigned char*& pipe)
{
    const typename L::reg v = L::load(p);
    const typename L::reg feeds = L::equal(v, '\n');
    const typename L::reg breaks = L::either(feeds, L::equal(v, '\r'));
    if (pipe == nullptr) {
        if (const std::uint64_t pipes = L::bits(L::equal(v, '|')))
            pipe = p + std::countr_zero(pipes) / L::BITS;
    }
    if (L::bits(breaks) == 0)
        return;
    line_feeds += static_cast<std::size_t>(count_bits(L::bits(feeds))) / L::BITS;
    L::store(p, L::blend(breaks, L::splat(' '), v));
}

// A field of 8 to 16 bytes with its line breaks made spaces, in one
// register: the overlap is written twice with the same bytes.
template <typename L>
[[gnu::always_inline]] inline std::size_t line_breaks_to_spaces_short(
    unsigned char* p, std::size_t n, unsigned char*& pipe)
{
    const typename L::reg v = L::halves(p, p + n - 8);
    const std::uint64_t valid = halves_valid<L>(n);
    const typename L::reg feeds = L::equal(v, '\n');
    const typename L::reg breaks = L::either(feeds, L::equal(v, '\r'));
    if (const std::uint64_t pipes = L::bits(L::equal(v, '|')) & valid)
        pipe = p + halves_byte(static_cast<std::size_t>(std::countr_zero(pipes)) / L::BITS, n);
    if (L::bits(breaks) == 0)
        return 0;
    const typename L::reg spaced = L::blend(breaks, L::splat(' '), v);
    L::store8_high(p + n - 8, spaced);
    L::store8(p, spaced);
    return static_cast<std::size_t>(count_bits(L::bits(feeds) & valid)) / L::BITS;
}

// What kernel_table::line_breaks_to_spaces does, whatever the field holds:
// 16 bytes at a time, the last 16 overlapping; up to 16 in one register,
// and a byte at a time below 8.
template <typename L>
[[gnu::always_inline]] inline std::size_t line_breaks_to_spaces_lanes(
    unsigned char* field, std::size_t length, unsigned char*& pipe)
{
    pipe = nullptr;
    std::size_t line_feeds = 0;
    unsigned char* const end = field + length;
    if (length >= 16) {
        unsigned char* p = field;
        for (; end - p > 16; p += 16)
            line_breaks_to_spaces_at<L>(p, line_feeds, pipe);
        line_breaks_to_spaces_at<L>(end - 16, line_feeds, pipe);
    } else if (length >= 8) {
        line_feeds = line_breaks_to_spaces_short<L>(field, length, pipe);
    } else {
        line_feeds = line_breaks_to_spaces_words(field, end, pipe);
    }
    return line_feeds;
}

// The bytes of v that are no line break, those of the lanes in valid,
// packed at out, which may be up to 16 bytes before v's; their line feeds
// are counted, and pipe is set at their first '|' unless it is set already.
template <typename L>
[[gnu::always_inline]] inline unsigned char* keep_all_but_line_breaks(
    typename L::reg v, unsigned valid, unsigned char* out, std::size_t& line_feeds, unsigned char*& pipe)
{
    const typename L::reg feeds = L::equal(v, '\n');
    const unsigned kept = valid & ~L::lanes16(L::either(feeds, L::equal(v, '\r')));
    if (pipe == nullptr) {
        if (const unsigned pipes = L::lanes16(L::equal(v, '|')) & kept)
            pipe = out + count_bits(kept & ((1u << std::countr_zero(pipes)) - 1));
    }
    line_feeds += static_cast<std::size_t>(count_bits(L::lanes16(feeds) & valid));
    return L::gather16(v, kept, out);
}

// What kernel_table::remove_line_breaks does: 16 bytes at a time, each
// window's kept bytes packed down where the last one's end; a tail of 8 to
// 15 bytes in one register, packed aside first, as its stores would reach
// past the field; a byte at a time below 8.
template <typename L>
[[gnu::always_inline]] inline std::size_t remove_line_breaks_lanes(
    unsigned char* field, std::size_t& length, unsigned char*& pipe)
{
    pipe = nullptr;
    std::size_t line_feeds = 0;
    const unsigned char* p = field;
    const unsigned char* const end = field + length;
    unsigned char* kept = field;
    for (; end - p >= 16; p += 16)
        kept = keep_all_but_line_breaks<L>(L::load(p), 0xFFFF, kept, line_feeds, pipe);
    const auto rest = static_cast<std::size_t>(end - p);
    if (rest >= 8) {
        unsigned char packed[32];
        unsigned char* packed_pipe = nullptr;
        const unsigned char* const packed_end
            = keep_all_but_line_breaks<L>(L::halves(p, end - 8), halves_lanes(rest), packed, line_feeds, packed_pipe);
        const auto n = static_cast<std::size_t>(packed_end - packed);
        if (pipe == nullptr && packed_pipe != nullptr)
            pipe = kept + (packed_pipe - packed);
        copy_short(kept, packed, n);
        kept += n;
    } else if (rest > 0) {
        move_bytes(kept, p, rest);
        std::size_t tail = rest;
        unsigned char* tail_pipe = nullptr;
        line_feeds += remove_line_breaks_words(kept, tail, tail_pipe);
        if (pipe == nullptr)
            pipe = tail_pipe;
        kept += tail;
    }
    length = static_cast<std::size_t>(kept - field);
    return line_feeds;
}
