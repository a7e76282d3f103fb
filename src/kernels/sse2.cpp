// SSE2: 16 bytes at a time, on every x86-64 processor, and SSSE3's byte
// shuffles where the processor has them: without them the finishing pass
// and UTF-16's decoding are the portable ones. Its 16-byte looks suit
// fields, which are mostly short, so the wider x86 units keep them.
#include "kernels/units.h"

#if defined(__x86_64__)
#include <emmintrin.h>

#include "kernels/gather.h"
#include "kernels/lanes.h"
#include "kernels/loops.h"
#include "kernels/transcode.h"
#include "kernels/units.h"

#define SSSE3 gnu::target(TROVANEX_SSSE3)

namespace {

struct sse2_lanes {
    using reg = __m128i;
    static constexpr int BITS = 1;
    static reg load(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(unsigned char* p, reg r) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), r); }
    static reg load8(const unsigned char* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
    static void store8(unsigned char* p, reg r) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), r); }
    static void store8_high(unsigned char* p, reg r) { store8(p, _mm_unpackhi_epi64(r, r)); }
    static reg halves(const unsigned char* p, const unsigned char* q) { return _mm_unpacklo_epi64(load8(p), load8(q)); }
    static reg from_word(std::uint64_t w) { return _mm_cvtsi64_si128(static_cast<long long>(w)); }
    static reg splat(unsigned char b) { return _mm_set1_epi8(static_cast<char>(b)); }
    static reg equal(reg r, unsigned char b) { return _mm_cmpeq_epi8(r, splat(b)); }
    static reg either(reg a, reg b) { return _mm_or_si128(a, b); }
    static reg blend(reg set, reg if_set, reg otherwise)
    {
        return _mm_or_si128(_mm_andnot_si128(set, otherwise), _mm_and_si128(set, if_set));
    }
    static std::uint64_t bits(reg r) { return static_cast<unsigned>(_mm_movemask_epi8(r)); }
    static unsigned lanes16(reg r) { return static_cast<unsigned>(_mm_movemask_epi8(r)); }
    [[SSSE3]] static unsigned char* gather16(reg r, unsigned kept, unsigned char* out)
    {
        return ::gather16(r, kept, out);
    }
};

// A word as four registers; its kept bytes gathered by SSSE3's shuffles.
struct sse2_words {
    struct word {
        __m128i part[4];
        explicit word(const unsigned char* p)
            : part {sse2_lanes::load(p), sse2_lanes::load(p + 16), sse2_lanes::load(p + 32), sse2_lanes::load(p + 48)}
        {
        }
    };
    static std::uint64_t mask(const word& w, auto hit)
    {
        std::uint64_t m = 0;
        for (unsigned i = 0; i < 4; ++i)
            m |= sse2_lanes::bits(hit(w.part[i])) << (16 * i);
        return m;
    }
    static std::uint64_t equal(const word& w, unsigned char b)
    {
        return mask(w, [b](__m128i v) { return sse2_lanes::equal(v, b); });
    }
    static std::uint64_t either(const word& w, unsigned char one, unsigned char other)
    {
        return mask(w, [=](__m128i v) { return _mm_or_si128(sse2_lanes::equal(v, one), sse2_lanes::equal(v, other)); });
    }
    static void store(const word& w, unsigned char* out)
    {
        for (unsigned i = 0; i < 4; ++i)
            sse2_lanes::store(out + 16 * i, w.part[i]);
    }
    [[SSSE3]] static unsigned char* gather(const word& w, std::uint64_t kept, std::size_t, unsigned char* out)
    {
        for (unsigned i = 0; i < 4; ++i)
            out = gather16(w.part[i], static_cast<unsigned>(kept >> (16 * i)) & 0xFFFF, out);
        return out;
    }
};

void scan_block(const block& b, std::size_t words)
{
    scan_words<sse2_words>(b, words);
}

// Each byte takes its bit of the mask, spread to a byte by unpacking, and
// where it is set, a '|'.
unsigned char* copy_record(
    unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to, const std::uint64_t* separators)
{
    const __m128i pipe = _mm_set1_epi8('|');
    const __m128i bit = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    for (std::size_t at = from; at < to; at += 64) {
        std::uint64_t bits = bits_at(separators, at);
        for (std::size_t part = 0; part < 64; part += 16, bits >>= 16) {
            __m128i spread = _mm_cvtsi32_si128(static_cast<int>(bits & 0xFFFF));
            spread = _mm_unpacklo_epi8(spread, spread);
            spread = _mm_unpacklo_epi16(spread, spread);
            spread = _mm_unpacklo_epi32(spread, spread);
            const __m128i set = _mm_cmpeq_epi8(_mm_and_si128(spread, bit), bit);
            const __m128i v = sse2_lanes::load(bytes + at + part);
            sse2_lanes::store(out + (at - from) + part, sse2_lanes::blend(set, pipe, v));
        }
    }
    return out + (to - from);
}

[[SSSE3, gnu::flatten]] unsigned char* finish_words(
    const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    return finish_words_with<sse2_words>(in, n, out, c);
}

bool field_holds(const unsigned char* p, std::size_t n, bool quotes, unsigned looked_for)
{
    return field_holds_lanes<sse2_lanes>(p, n, quotes, looked_for);
}

std::size_t find_rule_bytes(const unsigned char* p, std::size_t n, unsigned looked_for, std::uint32_t* at)
{
    return find_rule_bytes_lanes<sse2_lanes>(p, n, looked_for, at);
}

__m128i swap_bytes(__m128i v)
{
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// Sixteen units at a time while they are all ASCII, as most are, and
// then those before the first that is not.
transcoded ascii_from_utf16(const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    const __m128i not_ascii = _mm_set1_epi16(static_cast<short>(0xFF80));
    std::size_t taken = 0;
    for (; n - taken >= 32; taken += 32, out += 16) {
        __m128i a = sse2_lanes::load(in + taken);
        __m128i b = sse2_lanes::load(in + taken + 16);
        if (big_endian) {
            a = swap_bytes(a);
            b = swap_bytes(b);
        }
        const __m128i zero = _mm_setzero_si128();
        const auto ascii
            = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(a, not_ascii), zero)))
            | static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(b, not_ascii), zero))) << 16;
        sse2_lanes::store(out, _mm_packus_epi16(a, b));
        if (ascii != 0xFFFFFFFF) {
            const auto bytes = static_cast<std::size_t>(std::countr_one(ascii));
            out += bytes / 2;
            return {taken + bytes, out};
        }
    }
    return {taken, out};
}

// Four units in 32-bit lanes, as one to three UTF-8 bytes each, packed at
// out by a shuffle; stores 16 bytes.
[[SSSE3]] inline unsigned char* pack_four(__m128i units, unsigned char* out)
{
    const __m128i ascii = _mm_cmplt_epi32(units, _mm_set1_epi32(0x80));
    const __m128i two = _mm_cmplt_epi32(units, _mm_set1_epi32(0x800));
    const __m128i low_six = _mm_or_si128(_mm_and_si128(units, _mm_set1_epi32(0x3F)), _mm_set1_epi32(0x80));
    const __m128i middle_six
        = _mm_or_si128(_mm_and_si128(_mm_srli_epi32(units, 6), _mm_set1_epi32(0x3F)), _mm_set1_epi32(0x80));
    const __m128i as_two
        = _mm_or_si128(_mm_or_si128(_mm_srli_epi32(units, 6), _mm_set1_epi32(0xC0)), _mm_slli_epi32(low_six, 8));
    const __m128i as_three = _mm_or_si128(_mm_or_si128(_mm_srli_epi32(units, 12), _mm_set1_epi32(0xE0)),
        _mm_or_si128(_mm_slli_epi32(middle_six, 8), _mm_slli_epi32(low_six, 16)));
    const __m128i longer = _mm_or_si128(_mm_and_si128(two, as_two), _mm_andnot_si128(two, as_three));
    const __m128i lanes = _mm_or_si128(_mm_and_si128(ascii, units), _mm_andnot_si128(ascii, longer));
    const auto code
        = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(ascii)) | _mm_movemask_ps(_mm_castsi128_ps(two)) << 4);
    const __m128i packed = _mm_shuffle_epi8(lanes, sse2_lanes::load(UTF8_PACKING.shuffle[code]));
    sse2_lanes::store(out, packed);
    return out + UTF8_PACKING.length[code];
}

// The Basic Multilingual Plane eight units at a time.
struct sse2_utf16 {
    static __m128i units(const unsigned char* p, bool big_endian)
    {
        const __m128i v = sse2_lanes::load(p);
        return big_endian ? swap_bytes(v) : v;
    }
    static bool any_surrogate(__m128i units)
    {
        return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xF800))),
                   _mm_set1_epi16(static_cast<short>(0xD800))))
            != 0;
    }
    [[SSSE3]] static unsigned char* pack_eight(__m128i units, unsigned char* out)
    {
        const __m128i zero = _mm_setzero_si128();
        return pack_four(_mm_unpackhi_epi16(units, zero), pack_four(_mm_unpacklo_epi16(units, zero), out));
    }
};

[[SSSE3, gnu::flatten]] transcoded plane_from_utf16(
    const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    return plane_from_utf16_with<sse2_utf16, ascii_from_utf16>(in, n, big_endian, out);
}

transcoded ascii_to_utf16(const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    std::size_t taken = 0;
    for (; n - taken >= 16; taken += 16, out += 32) {
        const __m128i v = sse2_lanes::load(in + taken);
        const __m128i zero = _mm_setzero_si128();
        sse2_lanes::store(out, big_endian ? _mm_unpacklo_epi8(zero, v) : _mm_unpacklo_epi8(v, zero));
        sse2_lanes::store(out + 16, big_endian ? _mm_unpackhi_epi8(zero, v) : _mm_unpackhi_epi8(v, zero));
        if (const auto high = static_cast<unsigned>(_mm_movemask_epi8(v))) {
            const auto bytes = static_cast<std::size_t>(std::countr_zero(high));
            out += 2 * bytes;
            return {taken + bytes, out};
        }
    }
    return {taken, out};
}

kernel_table sse2_kernels()
{
    kernel_table own = {.unit = vector_unit::sse2,
        .scan_block = scan_block,
        .copy_record = copy_record,
        .field_holds = field_holds,
        .find_rule_bytes = find_rule_bytes,
        .utf16_to_utf8 = decode_utf16<ascii_from_utf16>,
        .utf8_to_utf16 = encode_utf16<ascii_to_utf16>};
    if (processor_has(TROVANEX_SSSE3)) {
        own.finish_words = finish_words;
        own.utf16_to_utf8 = decode_utf16<plane_from_utf16>;
    }
    return overlaid(portable_unit.kernels(), own);
}

}  // namespace

const unit_descriptor sse2_unit = {vector_unit::sse2, "sse2", [] { return true; }, sse2_kernels};
#else
TROVANEX_NOT_CARRIED(sse2)
#endif
