// Bit tricks on 64-bit words: masks with a bit per byte, as the splitter
// and the finishing pass scan their bytes, and a byte search a word at a
// time. Fields and messages are mostly a few bytes long, where a call to
// memchr costs more than the search itself.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The 64 bits of a mask array (bit i of word w for byte 64 * w + i) that
// stand for bytes [at, at + 64).
inline std::uint64_t bits_at(const std::uint64_t* mask, std::size_t at)
{
    const std::size_t w = at / 64, shift = at % 64;
    return shift == 0 ? mask[w] : (mask[w] >> shift) | (mask[w + 1] << (64 - shift));
}

inline constexpr std::uint64_t BYTE_ONES = 0x0101010101010101ull;
inline constexpr std::uint64_t BYTE_HIGHS = 0x8080808080808080ull;

// The bits set, counted in a few operations: x86-64 alone has no
// instruction for it, and the library's count is a call.
inline int count_bits(std::uint64_t x)
{
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((x * BYTE_ONES) >> 56);
}

// The 8 bytes at p as a word whose lowest byte is p[0], on machines of
// either byte order: a search a word at a time then finds the first byte in
// memory order at the lowest flag, the one bytes_equal gets exactly right.
inline std::uint64_t load_word(const unsigned char* p)
{
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big)
        word = __builtin_bswap64(word);
    return word;
}

// Flags the bytes of the word equal to b. Only the lowest flag is exact,
// which is all that first_flagged reads: a byte one above b is flagged too
// where a lower byte equals b.
inline std::uint64_t bytes_equal(std::uint64_t word, unsigned char b)
{
    const std::uint64_t x = word ^ (BYTE_ONES * b);
    return (x - BYTE_ONES) & ~x & BYTE_HIGHS;
}

// Flags exactly the bytes of the word that are not zero.
inline std::uint64_t nonzero_bytes(std::uint64_t word)
{
    return (((word & ~BYTE_HIGHS) + ~BYTE_HIGHS) | word) & BYTE_HIGHS;
}

// Flags exactly the bytes of the word equal to b.
inline std::uint64_t bytes_exactly_equal(std::uint64_t word, unsigned char b)
{
    return ~nonzero_bytes(word ^ (BYTE_ONES * b)) & BYTE_HIGHS;
}

// Stores a word from load_word back at p.
inline void store_word(unsigned char* p, std::uint64_t word)
{
    if constexpr (std::endian::native == std::endian::big)
        word = __builtin_bswap64(word);
    std::memcpy(p, &word, sizeof word);
}

// Offset of the first flagged byte of a word from load_word; flags must
// not be 0.
inline std::size_t first_flagged(std::uint64_t flags)
{
    return static_cast<std::size_t>(std::countr_zero(flags)) / 8;
}

// CR and LF: each ends a record outside quotes.
constexpr bool is_line_end(unsigned char c)
{
    return c == '\r' || c == '\n';
}

// The first byte equal to b in [p, end), or end.
inline const unsigned char* find_byte(const unsigned char* p, const unsigned char* end, unsigned char b)
{
    for (; end - p >= 8; p += 8) {
        if (const std::uint64_t flags = bytes_equal(load_word(p), b))
            return p + first_flagged(flags);
    }
    while (p != end && *p != b)
        ++p;
    return p;
}

// Copies at most 16 bytes with a few moves instead of a call. Every byte
// is read before any is written, so the areas may overlap.
inline void copy_short(unsigned char* to, const unsigned char* from, std::size_t n)
{
    if (n >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + n - 8, &tail, 8);
    } else if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + n - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + n - 4, &tail, 4);
    } else if (n > 0) {
        const unsigned char first = from[0], middle = from[n / 2], last = from[n - 1];
        to[0] = first;
        to[n / 2] = middle;
        to[n - 1] = last;
    }
}

// Moves n bytes, the areas perhaps overlapping; runs of up to 32 bytes,
// which fields are mostly made of, without a call.
inline void move_bytes(unsigned char* to, const unsigned char* from, std::size_t n)
{
    if (n <= 16) {
        copy_short(to, from, n);
    } else if (n <= 32) {
        std::uint64_t words[4];
        std::memcpy(words, from, 16);
        std::memcpy(words + 2, from + n - 16, 16);
        std::memcpy(to, words, 16);
        std::memcpy(to + n - 16, words + 2, 16);
    } else {
        std::memmove(to, from, n);
    }
}

// Copies n bytes 32 at a time, rather than a call: both sides have room
// for up to 31 more.
inline unsigned char* copy_over(unsigned char* to, const unsigned char* from, std::size_t n)
{
    std::size_t done = 0;
    do {
        std::memcpy(to + done, from + done, 32);
        done += 32;
    } while (done < n);
    return to + n;
}

// Keeps one quote of each doubled pair, in place; returns the new length.
// Where the bytes go on in a next piece, second_quote carries whether that
// piece begins with the second quote of a pair.
inline std::size_t collapse_quotes(unsigned char* bytes, std::size_t length, bool* second_quote = nullptr)
{
    unsigned char* kept = bytes;
    const unsigned char* p = bytes;
    const unsigned char* const end = bytes + length;
    if (second_quote != nullptr && *second_quote && p != end) {
        ++p;
        *second_quote = false;
    }
    while (p != end) {
        const unsigned char* const quote = find_byte(p, end, '"');
        const unsigned char* const run_end = quote == end ? end : quote + 1;
        if (kept != p)
            move_bytes(kept, p, static_cast<std::size_t>(run_end - p));
        kept += run_end - p;
        if (run_end == end) {
            if (second_quote != nullptr)
                *second_quote = quote != end;
            break;
        }
        p = quote + 2;
    }
    return static_cast<std::size_t>(kept - bytes);
}
