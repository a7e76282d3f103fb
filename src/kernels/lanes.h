// The field kernels of the units that take 16 bytes at a time (SSE2 and
// NEON; the wider x86 units keep SSE2's), written once over the unit's
// lane operations, L (lane_ops below). Fields are mostly short: up to 16
// bytes are looked at in one register, the first 8 and the last 8, which
// overlap below 16.
#pragma once

#include <bit>
#include <concepts>

#include "kernels/field_ends.h"
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

// A mask of the bytes set in hits, a bit each.
template <lane_ops L> [[gnu::always_inline]] inline std::uint64_t lane_mask(typename L::reg hits)
{
    static_assert(L::BITS == 1 || L::BITS == 4);
    const std::uint64_t bits = L::bits(hits);
    if constexpr (L::BITS == 1)
        return bits;
    // Four bits a byte: the lowest of each moved next to the others.
    std::uint64_t mask = bits & 0x1111111111111111ull;
    mask = (mask | mask >> 3) & 0x0303030303030303ull;
    mask = (mask | mask >> 6) & 0x000F000F000F000Full;
    mask = (mask | mask >> 12) & 0x000000FF000000FFull;
    return (mask | mask >> 24) & 0xFFFF;
}

template <lane_ops L, unsigned LookedFor>
[[gnu::always_inline]] inline typename L::reg rule_lanes(const unsigned char* p)
{
    const typename L::reg v = L::load(p);
    return rule_hits<LookedFor>(
        L::splat(0), [v](unsigned char b) { return L::equal(v, b); },
        [](typename L::reg a, typename L::reg b) { return L::either(a, b); });
}

// What kernel_table::find_rule_bytes does: 64 bytes at a time, most with
// one look at all four registers, their offsets written four at a time;
// the last 16 overlapping; shorter fields a word at a time.
template <lane_ops L, unsigned LookedFor>
[[gnu::always_inline]] inline std::size_t find_rule_bytes_lanes(const unsigned char* p, std::size_t n, std::uint32_t* at)
{
    std::uint32_t* out = at;
    std::size_t i = 0;
    for (; n - i >= 64; i += 64) {
        const typename L::reg a = rule_lanes<L, LookedFor>(p + i), b = rule_lanes<L, LookedFor>(p + i + 16),
                              c = rule_lanes<L, LookedFor>(p + i + 32), d = rule_lanes<L, LookedFor>(p + i + 48);
        if (L::bits(L::either(L::either(a, b), L::either(c, d))) == 0)
            continue;
        const std::uint64_t mask
            = lane_mask<L>(a) | lane_mask<L>(b) << 16 | lane_mask<L>(c) << 32 | lane_mask<L>(d) << 48;
        out = positions<plain_bits>(mask, i, out);
    }
    for (; n - i >= 16; i += 16)
        out = positions<plain_bits>(lane_mask<L>(rule_lanes<L, LookedFor>(p + i)), i, out);
    if (i < n)
        out = positions<plain_bits>(lane_mask<L>(rule_lanes<L, LookedFor>(p + n - 16)) >> (i - (n - 16)), i, out);
    return static_cast<std::size_t>(out - at);
}

template <lane_ops L>
[[gnu::always_inline]] inline std::size_t find_rule_bytes_lanes(
    const unsigned char* p, std::size_t n, unsigned looked_for, std::uint32_t* at)
{
    if (n < 16)
        return find_rule_bytes_words(p, n, looked_for, at);
    return with_looked_for(looked_for, [=]<unsigned LookedFor>() { return find_rule_bytes_lanes<L, LookedFor>(p, n, at); });
}
