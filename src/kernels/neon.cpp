// NEON: 16 bytes at a time, on every 64-bit ARM processor. Masks of 64
// bytes are made by weighting each byte's comparison with its bit and
// adding neighbours pairwise; NEON has no byte compression, so the
// finishing pass gathers kept bytes through a table of shuffles, eight
// bytes at a time. Built on x86 too, through SIMDe, so that the fuzz
// targets can run these kernels at native speed.
#if defined(TROVANEX_NEON_EMULATED)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#else
#include <arm_neon.h>
#endif

#include "kernels/field_ends.h"
#include "kernels/finish_words.h"
#include "kernels/transcode.h"
#include "kernels/units.h"
#include "kernels/words.h"

namespace {

constexpr unsigned char BIT_OF_LANE[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};

// The four 16-byte comparisons of a 64-byte word as a mask, bit i for
// byte i.
inline std::uint64_t mask_of(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d)
{
    const uint8x16_t bit = vld1q_u8(BIT_OF_LANE);
    const uint8x16_t ab = vpaddq_u8(vandq_u8(a, bit), vandq_u8(b, bit));
    const uint8x16_t cd = vpaddq_u8(vandq_u8(c, bit), vandq_u8(d, bit));
    const uint8x16_t abcd = vpaddq_u8(ab, cd);
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(abcd, abcd)), 0);
}

struct word_bytes {
    uint8x16_t part[4];
};

inline word_bytes load(const unsigned char* p)
{
    return {{vld1q_u8(p), vld1q_u8(p + 16), vld1q_u8(p + 32), vld1q_u8(p + 48)}};
}

inline std::uint64_t equal_mask(const word_bytes& w, unsigned char byte)
{
    const uint8x16_t b = vdupq_n_u8(byte);
    return mask_of(vceqq_u8(w.part[0], b), vceqq_u8(w.part[1], b), vceqq_u8(w.part[2], b), vceqq_u8(w.part[3], b));
}

inline std::uint64_t either_mask(const word_bytes& w, unsigned char one, unsigned char other)
{
    const uint8x16_t x = vdupq_n_u8(one), y = vdupq_n_u8(other);
    const auto hit = [&](uint8x16_t v) { return vorrq_u8(vceqq_u8(v, x), vceqq_u8(v, y)); };
    return mask_of(hit(w.part[0]), hit(w.part[1]), hit(w.part[2]), hit(w.part[3]));
}

void scan_block(const block& b, std::size_t words)
{
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        const word_bytes v = load(p);
        b.quotes[w] = equal_mask(v, '"');
        b.commas[w] = equal_mask(v, ',');
        b.line_ends[w] = either_mask(v, '\r', '\n');
        b.pipes[w] = equal_mask(v, '|');
        b.blanks[w] = either_mask(v, ' ', '\t');
    }
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

// The bytes of v whose bit of kept (16 bits) is set, packed at out, eight
// bytes at a time; stores up to 8 bytes past them.
inline unsigned char* gather(uint8x16_t v, unsigned kept, unsigned char* out)
{
    const unsigned low = kept & 0xFF, high = kept >> 8;
    const uint8x16_t from = vcombine_u8(vld1_u8(SHUFFLES.low[low]), vld1_u8(SHUFFLES.high[high]));
    const uint8x16_t packed = vqtbl1q_u8(v, from);
    vst1_u8(out, vget_low_u8(packed));
    out += SHUFFLES.count[low];
    vst1_u8(out, vget_high_u8(packed));
    return out + SHUFFLES.count[high];
}

unsigned char* finish_words(const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    for (std::size_t pos = 0; pos < n; pos += 64) {
        const std::size_t size = n - pos < 64 ? n - pos : 64;
        const word_bytes v = load(in + pos);
        const std::uint64_t kept = kept_bytes(equal_mask(v, '"'), in + pos, size, c);
        if (kept == ~std::uint64_t {0} >> (64 - size)) {
            for (const uint8x16_t& part : v.part) {
                vst1q_u8(out, part);
                out += 16;
            }
            out -= 64 - size;
            continue;
        }
        for (unsigned part = 0; part < 4; ++part)
            out = gather(v.part[part], static_cast<unsigned>(kept >> (16 * part)) & 0xFFFF, out);
    }
    return out;
}

// Up to 16 bytes are looked at in one register; longer fields 16 bytes at
// a time, the last 16 overlapping.
bool field_holds(const unsigned char* p, std::size_t n, bool quotes, bool line_breaks)
{
    const auto found = [quotes, line_breaks](uint8x16_t v) {
        uint8x16_t hits = vceqq_u8(v, vdupq_n_u8('|'));
        if (quotes)
            hits = vorrq_u8(hits, vceqq_u8(v, vdupq_n_u8('"')));
        if (line_breaks)
            hits = vorrq_u8(hits, vorrq_u8(vceqq_u8(v, vdupq_n_u8('\r')), vceqq_u8(v, vdupq_n_u8('\n'))));
        return vmaxvq_u8(hits) != 0;
    };
    if (n < 8)
        return found(vcombine_u8(vcreate_u8(short_word(p, n)), vdup_n_u8(0)));
    if (n <= 16)
        return found(vcombine_u8(vld1_u8(p), vld1_u8(p + n - 8)));
    const unsigned char* const last = p + n - 16;
    for (; p < last; p += 16) {
        if (found(vld1q_u8(p)))
            return true;
    }
    return found(vld1q_u8(last));
}

// The first byte set in a comparison: four bits a byte once narrowed.
inline std::size_t first_set(uint8x16_t hits)
{
    const std::uint64_t nibbles = vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(hits), 4)), 0);
    return static_cast<std::size_t>(std::countr_zero(nibbles)) / 4;
}

// 16 bytes at a time, whatever they hold, and the tail a word at a time.
std::size_t line_breaks_to_spaces(unsigned char* field, std::size_t length, unsigned char*& pipe)
{
    pipe = nullptr;
    std::size_t line_feeds = 0;
    unsigned char* p = field;
    unsigned char* const end = field + length;
    for (; end - p >= 16; p += 16) {
        const uint8x16_t v = vld1q_u8(p);
        const uint8x16_t feeds = vceqq_u8(v, vdupq_n_u8('\n'));
        const uint8x16_t breaks = vorrq_u8(feeds, vceqq_u8(v, vdupq_n_u8('\r')));
        if (pipe == nullptr) {
            const uint8x16_t pipes = vceqq_u8(v, vdupq_n_u8('|'));
            if (vmaxvq_u8(pipes) != 0)
                pipe = p + first_set(pipes);
        }
        if (vmaxvq_u8(breaks) != 0) {
            line_feeds += vaddvq_u8(vandq_u8(feeds, vdupq_n_u8(1)));
            vst1q_u8(p, vbslq_u8(breaks, vdupq_n_u8(' '), v));
        }
    }
    return line_feeds + line_breaks_to_spaces_words(p, end, pipe);
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

// Runs of ASCII as above, and eight units of the Basic Multilingual Plane
// at a time, each made its one to three bytes; a surrogate stops it.
transcoded plane_from_utf16(const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    std::size_t taken = 0;
    while (n - taken >= 32) {
        const transcoded ascii = ascii_from_utf16(in + taken, n - taken, big_endian, out);
        taken += ascii.taken;
        out = ascii.out;
        if (n - taken < 16)
            break;
        uint8x16_t bytes = vld1q_u8(in + taken);
        if (big_endian)
            bytes = vrev16q_u8(bytes);
        const uint16x8_t units = vreinterpretq_u16_u8(bytes);
        const uint16x8_t surrogates = vceqq_u16(vandq_u16(units, vdupq_n_u16(0xF800)), vdupq_n_u16(0xD800));
        if (vmaxvq_u16(surrogates) != 0)
            break;
        out = pack_four(vmovl_u16(vget_low_u16(units)), out);
        out = pack_four(vmovl_u16(vget_high_u16(units)), out);
        taken += 16;
    }
    return {taken, out};
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

}  // namespace

kernel_table neon_kernels()
{
    kernel_table k = portable_kernels();
    k.unit = vector_unit::neon;
    k.scan_block = scan_block;
    k.find_field_ends = find_field_ends;
    k.copy_record = copy_record;
    k.finish_words = finish_words;
    k.field_holds = field_holds;
    k.line_breaks_to_spaces = line_breaks_to_spaces;
    k.utf16_to_utf8 = decode_utf16<plane_from_utf16>;
    k.utf8_to_utf16 = encode_utf16<ascii_to_utf16>;
    return k;
}
