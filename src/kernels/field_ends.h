// The splitter's field-end finder, the same for every unit but for how
// bits are counted and quotes paired: each unit compiles it with its own
// instructions.
// Counting quotes tells inside from outside, and a comma or line end
// outside quotes ends a field, provided every quote stands where a plain
// field has it; fields then do not wait on each other to be read.
#pragma once

#include <bit>
#include <concepts>

#include "common/bits.h"
#include "kernels/kernels.h"

// How a unit counts bits and tells the bytes inside quotes, for the
// finder below: one instruction each where the processor has them.
template <typename Bits> concept bit_ops = requires(std::uint64_t x) {
    { Bits::count(x) } -> std::same_as<int>;  // the bits set
    { Bits::inside(x) } -> std::same_as<std::uint64_t>;  // each bit the xor of those up to it
};

struct plain_bits {
    static int count(std::uint64_t x) { return count_bits(x); }
    static std::uint64_t inside(std::uint64_t quotes) { return prefix_xor(quotes); }
};

// Writes the positions of the set bits, four at a time whatever their
// number, so that the loop's end is seldom mispredicted: out has room for
// 64 past the last.
template <bit_ops Bits>
[[gnu::always_inline]] inline std::uint32_t* positions(std::uint64_t bits, std::size_t base, std::uint32_t* out)
{
    if (bits == 0)
        return out;
    const int count = Bits::count(bits);
    const auto base32 = static_cast<std::uint32_t>(base);
    std::uint32_t* p = out;
    do {
        for (int i = 0; i < 4; ++i) {
            p[i] = base32 + static_cast<std::uint32_t>(std::countr_zero(bits));
            bits &= bits - 1;
            // Hidden from the compiler, which would otherwise stop at the
            // last bit after all, with a branch on each.
            asm("" : "+r"(bits));
        }
        p += 4;
    } while (bits != 0);
    return out + count;
}

// What kernel_table::find_field_ends does.
template <bit_ops Bits>
[[gnu::always_inline]] inline found_counts find_ends(
    const block& b, std::size_t pos, std::size_t limit, field_ends& found, bool stretch, bool mark_line_breaks)
{
    std::uint32_t* ends = found.ends.get();
    std::uint32_t* doubled = found.doubled.get();
    std::uint32_t* to_clean = found.to_clean.get();
    std::uint32_t* loose = found.loose_blanks.get();
    std::uint64_t* const separators = found.separators.get();
    const std::uint64_t commas_ending = stretch ? 0 : ~std::uint64_t {0};
    bool inside = false;
    std::uint64_t stop_before = std::uint64_t {1} << (pos % 64);  // pos begins a field
    std::uint64_t outside_stop_before = stop_before;
    for (std::size_t w = pos / 64; w * 64 < limit; ++w) {
        std::uint64_t valid = ~std::uint64_t {0} << (w == pos / 64 ? pos % 64 : 0);
        if (limit - w * 64 < 64)
            valid &= (std::uint64_t {1} << (limit - w * 64)) - 1;
        const std::uint64_t all_stops = b.quotes[w] | b.commas[w] | b.line_ends[w];
        const std::uint64_t next_stops = b.quotes[w + 1] | b.commas[w + 1] | b.line_ends[w + 1];
        const std::uint64_t quotes = b.quotes[w] & valid;
        const std::uint64_t stops = all_stops & valid;
        const std::uint64_t in = Bits::inside(quotes) ^ (inside ? ~std::uint64_t {0} : 0);
        const std::uint64_t opening = quotes & in;
        const std::uint64_t closing = quotes & ~in;
        const std::uint64_t after_stop = (stops << 1) | stop_before;
        const std::uint64_t before_stop = (all_stops >> 1) | (next_stops << 63);
        const std::uint64_t stray = (opening & ~after_stop) | (closing & ~before_stop);
        const std::uint64_t keep = stray == 0 ? valid : valid & ((stray & -stray) - 1);
        ends = positions<Bits>(((b.commas[w] & commas_ending) | b.line_ends[w]) & ~in & keep, w * 64, ends);
        if (stretch) {
            separators[w] = b.commas[w] & ~in & keep;
            to_clean
                = positions<Bits>((b.marks[w] | (mark_line_breaks ? b.line_ends[w] & in : 0)) & keep, w * 64, to_clean);
            // The next word's first byte is a stop outside quotes if it is a
            // comma or line end and this word ends outside.
            const std::uint64_t outside_stops = (b.commas[w] | b.line_ends[w]) & ~in & valid;
            if (b.blanks[w] != 0) {
                const std::uint64_t next_outside = (b.commas[w + 1] | b.line_ends[w + 1]) & ((in >> 63) ^ 1);
                const std::uint64_t next_to_stop
                    = (outside_stops << 1) | outside_stop_before | (outside_stops >> 1) | (next_outside << 63);
                loose = positions<Bits>(b.blanks[w] & next_to_stop & keep, w * 64, loose);
            }
            outside_stop_before = outside_stops >> 63;
        } else {
            const std::uint64_t next_quotes = (b.quotes[w] >> 1) | (b.quotes[w + 1] << 63);
            doubled = positions<Bits>(closing & next_quotes & keep, w * 64, doubled);
        }
        if (stray != 0)
            break;
        inside = (in >> 63) != 0;
        stop_before = stops >> 63;
    }
    return {static_cast<std::size_t>(ends - found.ends.get()), static_cast<std::size_t>(doubled - found.doubled.get()),
        static_cast<std::size_t>(to_clean - found.to_clean.get()),
        static_cast<std::size_t>(loose - found.loose_blanks.get())};
}
