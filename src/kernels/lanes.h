// The field kernels of the units that take 16 bytes at a time (SSE2 and
// NEON; the wider x86 units keep SSE2's), written once over the unit's
// lane operations, L (lane_ops below). Fields are mostly short: up to 16
// bytes are looked at in one register, the first 8 and the last 8, which
// overlap below 16.
#pragma once

#include <bit>
#include <concepts>

#include "kernels/words.h"

// What a unit gives the kernels below.
template <typename L>
concept lane_ops = requires(const unsigned char* p, std::uint64_t word, typename L::reg r, unsigned char byte) {
    // BITS bits of a mask stand for each byte, the lowest set where it is
    { L::BITS } -> std::convertible_to<int>;
    { L::load(p) } -> std::same_as<typename L::reg>;  // 16 bytes
    { L::halves(p, p) } -> std::same_as<typename L::reg>;  // 8 bytes from each
    { L::from_word(word) } -> std::same_as<typename L::reg>;  // short_word's, zeros above it
    { L::splat(byte) } -> std::same_as<typename L::reg>;
    { L::equal(r, byte) } -> std::same_as<typename L::reg>;  // all ones where equal
    { L::either(r, r) } -> std::same_as<typename L::reg>;
    { L::bits(r) } -> std::same_as<std::uint64_t>;  // a mask of the set bytes
};

// The bytes of v that need a look: those of RULE_BYTES that looked_for
// selects, and a quote where quotes is set.
template <lane_ops L> [[gnu::always_inline]] inline typename L::reg lanes_to_look_at(
    typename L::reg v, bool quotes, unsigned looked_for)
{
    typename L::reg hits = rule_hits(
        looked_for, L::splat(0), [v](unsigned char b) { return L::equal(v, b); },
        [](typename L::reg a, typename L::reg b) { return L::either(a, b); });
    if (quotes)
        hits = L::either(hits, L::equal(v, '"'));
    return hits;
}

template <lane_ops L>
[[gnu::always_inline]] inline bool lanes_hold(typename L::reg v, bool quotes, unsigned looked_for)
{
    return L::bits(lanes_to_look_at<L>(v, quotes, looked_for)) != 0;
}

// What kernel_table::field_holds does: longer fields 16 bytes at a time,
// the last 16 overlapping.
template <lane_ops L>
[[gnu::always_inline]] inline bool field_holds_lanes(
    const unsigned char* p, std::size_t n, bool quotes, unsigned looked_for)
{
    if (n < 8)
        return lanes_hold<L>(L::from_word(short_word(p, n)), quotes, looked_for);
    if (n <= 16)
        return lanes_hold<L>(L::halves(p, p + n - 8), quotes, looked_for);
    const unsigned char* const last = p + n - 16;
    for (; p < last; p += 16) {
        if (lanes_hold<L>(L::load(p), quotes, looked_for))
            return true;
    }
    return lanes_hold<L>(L::load(last), quotes, looked_for);
}

// The offsets of the bytes of 16 at p that need a look, from skip on,
// at out.
template <lane_ops L>
[[gnu::always_inline]] inline std::uint32_t* lane_offsets(
    const unsigned char* p, std::size_t base, std::size_t skip, unsigned looked_for, std::uint32_t* out)
{
    // One bit a byte, its lowest, so that each clearing takes one byte.
    static_assert(L::BITS == 1 || L::BITS == 4);
    constexpr std::uint64_t lowest = L::BITS == 1 ? ~std::uint64_t {0} : BYTE_ONES * 0x11;
    std::uint64_t bits = L::bits(lanes_to_look_at<L>(L::load(p), false, looked_for)) & lowest;
    bits &= ~std::uint64_t {0} << (skip * L::BITS);
    for (; bits != 0; bits &= bits - 1)
        *out++ = static_cast<std::uint32_t>(base + static_cast<std::size_t>(std::countr_zero(bits)) / L::BITS);
    return out;
}

// What kernel_table::find_rule_bytes does: 16 bytes at a time, the last 16
// overlapping; shorter fields a word at a time.
template <lane_ops L>
[[gnu::always_inline]] inline std::size_t find_rule_bytes_lanes(
    const unsigned char* p, std::size_t n, unsigned looked_for, std::uint32_t* at)
{
    if (n < 16)
        return find_rule_bytes_words(p, n, looked_for, at);
    std::uint32_t* out = at;
    std::size_t i = 0;
    for (; n - i >= 16; i += 16)
        out = lane_offsets<L>(p + i, i, 0, looked_for, out);
    if (i < n)
        out = lane_offsets<L>(p + n - 16, n - 16, i - (n - 16), looked_for, out);
    return static_cast<std::size_t>(out - at);
}

