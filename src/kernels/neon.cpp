// NEON: 16 bytes at a time, on every 64-bit ARM processor. Masks of 64
// bytes are made by weighting each byte's comparison with its bit and
// adding neighbours pairwise; NEON has no byte compression, so the
// finishing pass gathers kept bytes through a table of shuffles, eight
// bytes at a time. Built on x86 too, through SIMDe, so that the fuzz
// targets can run these kernels at native speed.
#include "kernels/units.h"

#if defined(TROVANEX_NEON)
#if defined(TROVANEX_NEON_EMULATED)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#else
#include <arm_neon.h>
#endif

#include "kernels/field_ends.h"
#include "kernels/lanes.h"
#include "kernels/loops.h"
#include "kernels/transcode.h"
#include "kernels/units.h"

namespace {

constexpr unsigned char BIT_OF_LANE[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};

// A register's set bytes as four bits each, once narrowed.
inline std::uint64_t nibbles(uint8x16_t hits)
{
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(hits), 4)), 0);
}

struct neon_lanes {
    using reg = uint8x16_t;
    static constexpr int BITS = 4;
    static reg load(const unsigned char* p) { return vld1q_u8(p); }
    static void store(unsigned char* p, reg r) { vst1q_u8(p, r); }
    static reg load8(const unsigned char* p) { return vcombine_u8(vld1_u8(p), vdup_n_u8(0)); }
    static void store8(unsigned char* p, reg r) { vst1_u8(p, vget_low_u8(r)); }
    static void store8_high(unsigned char* p, reg r) { vst1_u8(p, vget_high_u8(r)); }
    static reg halves(const unsigned char* p, const unsigned char* q) { return vcombine_u8(vld1_u8(p), vld1_u8(q)); }
    static reg from_word(std::uint64_t w) { return vcombine_u8(vcreate_u8(w), vdup_n_u8(0)); }
    static reg splat(unsigned char b) { return vdupq_n_u8(b); }
    static reg equal(reg r, unsigned char b) { return vceqq_u8(r, vdupq_n_u8(b)); }
    static reg either(reg a, reg b) { return vorrq_u8(a, b); }
    static reg blend(reg set, reg if_set, reg otherwise) { return vbslq_u8(set, if_set, otherwise); }
    static std::uint64_t bits(reg r) { return nibbles(r); }
    static unsigned lanes16(reg r)
    {
        const uint8x16_t weighted = vandq_u8(r, vld1q_u8(BIT_OF_LANE));
        return vaddv_u8(vget_low_u8(weighted)) | static_cast<unsigned>(vaddv_u8(vget_high_u8(weighted))) << 8;
    }
    static unsigned char* gather16(reg r, unsigned kept, unsigned char* out)
    {
        const unsigned low = kept & 0xFF, high = kept >> 8;
        const uint8x16_t packed = vqtbl1q_u8(r, vcombine_u8(vld1_u8(SHUFFLES.low[low]), vld1_u8(SHUFFLES.high[high])));
        vst1_u8(out, vget_low_u8(packed));
        out += SHUFFLES.count[low];
        vst1_u8(out, vget_high_u8(packed));
        return out + SHUFFLES.count[high];
    }
};

// A word as four registers; its masks made by weighting each byte with its
// bit, its kept bytes gathered eight at a time by a table lookup.
struct neon_words {
    struct word {
        uint8x16_t part[4];
        explicit word(const unsigned char* p)
            : part {vld1q_u8(p), vld1q_u8(p + 16), vld1q_u8(p + 32), vld1q_u8(p + 48)}
        {
        }
    };
    static std::uint64_t mask(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d)
    {
        const uint8x16_t bit = vld1q_u8(BIT_OF_LANE);
        const uint8x16_t ab = vpaddq_u8(vandq_u8(a, bit), vandq_u8(b, bit));
        const uint8x16_t cd = vpaddq_u8(vandq_u8(c, bit), vandq_u8(d, bit));
        const uint8x16_t abcd = vpaddq_u8(ab, cd);
        return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(abcd, abcd)), 0);
    }
    static std::uint64_t equal(const word& w, unsigned char byte)
    {
        const uint8x16_t b = vdupq_n_u8(byte);
        return mask(vceqq_u8(w.part[0], b), vceqq_u8(w.part[1], b), vceqq_u8(w.part[2], b), vceqq_u8(w.part[3], b));
    }
    static std::uint64_t either(const word& w, unsigned char one, unsigned char other)
    {
        const uint8x16_t x = vdupq_n_u8(one), y = vdupq_n_u8(other);
        const auto hit = [&](uint8x16_t v) { return vorrq_u8(vceqq_u8(v, x), vceqq_u8(v, y)); };
        return mask(hit(w.part[0]), hit(w.part[1]), hit(w.part[2]), hit(w.part[3]));
    }
    static void store(const word& w, unsigned char* out)
    {
        for (unsigned i = 0; i < 4; ++i)
            vst1q_u8(out + 16 * i, w.part[i]);
    }
    static unsigned char* gather(const word& w, std::uint64_t kept, std::size_t, unsigned char* out)
    {
        for (unsigned i = 0; i < 4; ++i)
            out = neon_lanes::gather16(w.part[i], static_cast<unsigned>(kept >> (16 * i)) & 0xFFFF, out);
        return out;
    }
};

void scan_block(const block& b, std::size_t words)
{
    scan_words<neon_words>(b, words);
}

// Bits counted in one instruction (cnt); quotes paired with shifts, as
// carry-less multiplication is an extension not every 64-bit ARM has.
struct neon_bits {
    static int count(std::uint64_t x) { return std::popcount(x); }
    static std::uint64_t inside(std::uint64_t quotes) { return prefix_xor(quotes); }
};

found_counts find_field_ends(
    const block& b, std::size_t pos, std::size_t limit, field_ends& found, bool stretch, bool mark_line_breaks)
{
    return find_ends<neon_bits>(b, pos, limit, found, stretch, mark_line_breaks);
}

// Each byte takes its bit of the mask, and where it is set, a '|'.
unsigned char* copy_record(
    unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to, const std::uint64_t* separators)
{
    const uint8x16_t pipe = vdupq_n_u8('|');
    const uint8x16_t bit = vld1q_u8(BIT_OF_LANE);
    for (std::size_t at = from; at < to; at += 64) {
        std::uint64_t bits = bits_at(separators, at);
        for (std::size_t part = 0; part < 64; part += 16, bits >>= 16) {
            const uint8x16_t spread = vcombine_u8(
                vdup_n_u8(static_cast<std::uint8_t>(bits)), vdup_n_u8(static_cast<std::uint8_t>(bits >> 8)));
            const uint8x16_t v = vld1q_u8(bytes + at + part);
            vst1q_u8(out + (at - from) + part, vbslq_u8(vtstq_u8(spread, bit), pipe, v));
        }
    }
    return out + (to - from);
}

unsigned char* finish_words(const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    return finish_words_with<neon_words>(in, n, out, c);
}

bool field_holds(const unsigned char* p, std::size_t n, bool quotes, unsigned looked_for)
{
    return field_holds_lanes<neon_lanes>(p, n, quotes, looked_for);
}

std::size_t find_rule_bytes(const unsigned char* p, std::size_t n, unsigned looked_for, std::uint32_t* at)
{
    return find_rule_bytes_lanes<neon_lanes>(p, n, looked_for, at);
}

// The first byte set in a comparison.
inline std::size_t first_set(uint8x16_t hits)
{
    return static_cast<std::size_t>(std::countr_zero(nibbles(hits))) / 4;
}

// Sixteen units at a time while they are all ASCII: the loads split each
// unit's two bytes apart, and the low ones are the text; then those before
// the first that is not.
transcoded ascii_from_utf16(const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    std::size_t taken = 0;
    for (; n - taken >= 32; taken += 32, out += 16) {
        const uint8x16x2_t units = vld2q_u8(in + taken);
        const uint8x16_t low = big_endian ? units.val[1] : units.val[0];
        const uint8x16_t high = big_endian ? units.val[0] : units.val[1];
        vst1q_u8(out, low);
        const uint8x16_t not_ascii = vtstq_u8(vorrq_u8(high, vshrq_n_u8(low, 7)), vdupq_n_u8(0xFF));
        if (vmaxvq_u8(not_ascii) != 0) {
            const std::size_t units_taken = first_set(not_ascii);
            out += units_taken;
            return {taken + 2 * units_taken, out};
        }
    }
    return {taken, out};
}

constexpr std::uint32_t LANE_BITS[4] = {1, 2, 4, 8};

// Four units in 32-bit lanes, as one to three UTF-8 bytes each, packed at
// out by a table lookup; stores 16 bytes.
inline unsigned char* pack_four(uint32x4_t units, unsigned char* out)
{
    const uint32x4_t ascii = vcltq_u32(units, vdupq_n_u32(0x80));
    const uint32x4_t two = vcltq_u32(units, vdupq_n_u32(0x800));
    const uint32x4_t low_six = vorrq_u32(vandq_u32(units, vdupq_n_u32(0x3F)), vdupq_n_u32(0x80));
    const uint32x4_t middle_six = vorrq_u32(vandq_u32(vshrq_n_u32(units, 6), vdupq_n_u32(0x3F)), vdupq_n_u32(0x80));
    const uint32x4_t as_two = vorrq_u32(vorrq_u32(vshrq_n_u32(units, 6), vdupq_n_u32(0xC0)), vshlq_n_u32(low_six, 8));
    const uint32x4_t as_three = vorrq_u32(vorrq_u32(vshrq_n_u32(units, 12), vdupq_n_u32(0xE0)),
        vorrq_u32(vshlq_n_u32(middle_six, 8), vshlq_n_u32(low_six, 16)));
    const uint32x4_t lanes = vbslq_u32(ascii, units, vbslq_u32(two, as_two, as_three));
    const uint32x4_t bits = vld1q_u32(LANE_BITS);
    const unsigned code = vaddvq_u32(vandq_u32(ascii, bits)) | vaddvq_u32(vandq_u32(two, bits)) << 4;
    vst1q_u8(out, vqtbl1q_u8(vreinterpretq_u8_u32(lanes), vld1q_u8(UTF8_PACKING.shuffle[code])));
    return out + UTF8_PACKING.length[code];
}

// The Basic Multilingual Plane eight units at a time.
struct neon_utf16 {
    static uint16x8_t units(const unsigned char* p, bool big_endian)
    {
        const uint8x16_t bytes = vld1q_u8(p);
        return vreinterpretq_u16_u8(big_endian ? vrev16q_u8(bytes) : bytes);
    }
    static bool any_surrogate(uint16x8_t units)
    {
        return vmaxvq_u16(vceqq_u16(vandq_u16(units, vdupq_n_u16(0xF800)), vdupq_n_u16(0xD800))) != 0;
    }
    static unsigned char* pack_eight(uint16x8_t units, unsigned char* out)
    {
        return pack_four(vmovl_u16(vget_high_u16(units)), pack_four(vmovl_u16(vget_low_u16(units)), out));
    }
};

transcoded plane_from_utf16(const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    return plane_from_utf16_with<neon_utf16, ascii_from_utf16>(in, n, big_endian, out);
}

transcoded ascii_to_utf16(const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    std::size_t taken = 0;
    for (; n - taken >= 16; taken += 16, out += 32) {
        const uint8x16_t v = vld1q_u8(in + taken);
        uint8x16x2_t units;
        units.val[big_endian ? 1 : 0] = v;
        units.val[big_endian ? 0 : 1] = vdupq_n_u8(0);
        vst2q_u8(out, units);
        const uint8x16_t not_ascii = vcltq_s8(vreinterpretq_s8_u8(v), vdupq_n_s8(0));
        if (vmaxvq_u8(not_ascii) != 0) {
            const std::size_t bytes = first_set(not_ascii);
            out += 2 * bytes;
            return {taken + bytes, out};
        }
    }
    return {taken, out};
}

kernel_table neon_kernels()
{
    return overlaid(portable_unit.kernels(),
        {.unit = vector_unit::neon,
            .scan_block = scan_block,
            .find_field_ends = find_field_ends,
            .copy_record = copy_record,
            .finish_words = finish_words,
            .field_holds = field_holds,
            .find_rule_bytes = find_rule_bytes,
            .utf16_to_utf8 = decode_utf16<plane_from_utf16>,
            .utf8_to_utf16 = encode_utf16<ascii_to_utf16>});
}

}  // namespace

const unit_descriptor neon_unit = {vector_unit::neon, "neon", [] { return true; }, neon_kernels};
#else
TROVANEX_NOT_CARRIED(neon)
#endif
