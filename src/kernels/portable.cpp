// The reference unit: plain C++, a byte or a 64-bit word at a time, for
// any processor of either byte order. Every other unit must give exactly
// what this one gives.
#include <array>

#include "kernels/field_ends.h"
#include "kernels/loops.h"
#include "kernels/transcode.h"
#include "kernels/units.h"
#include "kernels/words.h"

namespace {

// A word stays where it lies; its masks are made a byte at a time, and
// what it keeps is copied as the runs between the bytes that go.
struct portable_words {
    struct word {
        const unsigned char* p;
        explicit word(const unsigned char* at)
            : p(at)
        {
        }
    };
    static std::uint64_t equal(const word& w, unsigned char byte)
    {
        std::uint64_t mask = 0;
        for (unsigned i = 0; i < 64; ++i)
            mask |= static_cast<std::uint64_t>(w.p[i] == byte) << i;
        return mask;
    }
    static std::uint64_t either(const word& w, unsigned char one, unsigned char other)
    {
        return equal(w, one) | equal(w, other);
    }
    static void store(const word& w, unsigned char* out) { std::memcpy(out, w.p, 64); }
    // A run of at most 64 bytes, 16 at a time.
    static unsigned char* copy_run(unsigned char* out, const unsigned char* from, std::size_t n)
    {
        for (std::size_t done = 0; done < n; done += 16)
            std::memcpy(out + done, from + done, 16);
        return out + n;
    }
    static unsigned char* gather(const word& w, std::uint64_t kept, std::size_t size, unsigned char* out)
    {
        const unsigned char* const p = w.p;
        std::uint64_t gone = ~kept & (size == 64 ? ~std::uint64_t {0} : (std::uint64_t {1} << size) - 1);
        std::size_t pos = 0;
        for (; gone != 0; gone &= gone - 1) {
            const auto at = static_cast<std::size_t>(std::countr_zero(gone));
            out = copy_run(out, p + pos, at - pos);
            pos = at + 1;
        }
        return copy_run(out, p + pos, size - pos);
    }
};

// Whether each byte is one of MARKED_BYTES: a load a byte costs this loop
// less than comparing with each.
constexpr std::array<bool, 256> IS_MARKED = [] {
    std::array<bool, 256> marked {};
    for (std::size_t i = 0; i < RULE_BYTE_COUNT; ++i)
        marked[RULE_BYTES[i]] = ((MARKED_BYTES >> i) & 1) != 0;
    return marked;
}();

// Not scan_words: a byte at a time, its five masks are best made in one
// pass over the word, not in one pass for each byte looked for (1.6 times
// the instructions).
void scan_block(const block& b, std::size_t words)
{
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        std::uint64_t quotes = 0, commas = 0, line_ends = 0, marks = 0, blanks = 0;
        for (unsigned i = 0; i < 64; ++i) {
            quotes |= static_cast<std::uint64_t>(p[i] == '"') << i;
            commas |= static_cast<std::uint64_t>(p[i] == ',') << i;
            line_ends |= static_cast<std::uint64_t>((p[i] == '\r') | (p[i] == '\n')) << i;
            marks |= static_cast<std::uint64_t>(IS_MARKED[p[i]]) << i;
            blanks |= static_cast<std::uint64_t>((p[i] == ' ') | (p[i] == '\t')) << i;
        }
        b.quotes[w] = quotes;
        b.commas[w] = commas;
        b.line_ends[w] = line_ends;
        b.marks[w] = marks;
        b.blanks[w] = blanks;
    }
}

found_counts find_field_ends(
    const block& b, std::size_t pos, std::size_t limit, field_ends& found, bool stretch, bool mark_line_breaks)
{
    return find_ends<plain_bits>(b, pos, limit, found, stretch, mark_line_breaks);
}

// The copy, then each separator patched in.
unsigned char* copy_record(
    unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to, const std::uint64_t* separators)
{
    copy_over(out, bytes + from, to - from);
    for (std::size_t at = from; at < to; at += 64) {
        std::uint64_t bits = bits_at(separators, at);
        if (to - at < 64)
            bits &= (std::uint64_t {1} << (to - at)) - 1;
        for (; bits != 0; bits &= bits - 1)
            out[at - from + static_cast<std::size_t>(std::countr_zero(bits))] = '|';
    }
    return out + (to - from);
}

unsigned char* finish_words(const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    return finish_words_with<portable_words>(in, n, out, c);
}

// Four units a word while all are ASCII, and then those of the next word
// before the first that is not.
transcoded ascii_from_utf16(const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    const std::uint64_t not_ascii = big_endian ? 0x80FF80FF80FF80FFull : 0xFF80FF80FF80FF80ull;
    const std::size_t low = big_endian ? 1 : 0;
    std::size_t taken = 0;
    for (; n - taken >= 8; taken += 8) {
        const std::uint64_t flags = load_word(in + taken) & not_ascii;
        const std::size_t units = flags == 0 ? 4 : first_flagged(nonzero_bytes(flags)) / 2;
        for (std::size_t k = 0; k < units; ++k)
            *out++ = in[taken + 2 * k + low];
        if (units < 4)
            return {taken + 2 * units, out};
    }
    return {taken, out};
}

// Eight bytes a word while all are ASCII, and then those of the next word
// before the first that is not.
transcoded ascii_to_utf16(const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    const std::size_t low = big_endian ? 1 : 0;
    std::size_t taken = 0;
    for (; n - taken >= 8; taken += 8) {
        const std::uint64_t flags = load_word(in + taken) & BYTE_HIGHS;
        const std::size_t bytes = flags == 0 ? 8 : first_flagged(flags);
        for (std::size_t k = 0; k < bytes; ++k, out += 2) {
            out[low] = in[taken + k];
            out[1 - low] = 0;
        }
        if (bytes < 8)
            return {taken + bytes, out};
    }
    return {taken, out};
}

kernel_table portable_kernels()
{
    return {.unit = vector_unit::portable,
        .scan_block = scan_block,
        .find_field_ends = find_field_ends,
        .copy_record = copy_record,
        .finish_words = finish_words,
        .field_holds = field_holds_words,
        .find_rule_bytes = find_rule_bytes_words,
        .utf16_to_utf8 = decode_utf16<ascii_from_utf16>,
        .utf8_to_utf16 = encode_utf16<ascii_to_utf16>};
}

}  // namespace

const unit_descriptor portable_unit = {vector_unit::portable, "portable", [] { return true; }, portable_kernels};
