// Bit tricks on 64-bit masks with a bit per byte, as the splitter and the
// finishing pass scan their bytes.
#pragma once

#include <cstdint>

// Bit i set when an odd number of bits 0 to i are set: with a mask of
// quotes, the bytes inside quotes (opening quotes included).
inline std::uint64_t prefix_xor(std::uint64_t x)
{
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}
