// SSE2: 16 bytes at a time, on every x86-64 processor, and SSSE3's byte
// shuffles where the processor has them (all but the oldest; without them
// the finishing pass is the portable one). Its 16-byte looks suit fields,
// which are mostly short, so the wider x86 units keep them.
#include <emmintrin.h>

#include "kernels/gather.h"
#include "kernels/transcode.h"
#include "kernels/units.h"
#include "kernels/words.h"

namespace {

std::uint64_t bits_of(__m128i hits, unsigned part)
{
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (16 * part);
}

void scan_block(const block& b, std::size_t words)
{
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i comma = _mm_set1_epi8(',');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i pipe = _mm_set1_epi8('|');
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const unsigned char* p = b.bytes;
    for (std::size_t w = 0; w < words; ++w, p += 64) {
        std::uint64_t quotes = 0, commas = 0, line_ends = 0, pipes = 0, blanks = 0;
        for (unsigned i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            quotes |= bits_of(_mm_cmpeq_epi8(v, quote), i);
            commas |= bits_of(_mm_cmpeq_epi8(v, comma), i);
            line_ends |= bits_of(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), i);
            pipes |= bits_of(_mm_cmpeq_epi8(v, pipe), i);
            blanks |= bits_of(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab)), i);
        }
        b.quotes[w] = quotes;
        b.commas[w] = commas;
        b.line_ends[w] = line_ends;
        b.pipes[w] = pipes;
        b.blanks[w] = blanks;
    }
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
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at + part));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (at - from) + part),
                _mm_or_si128(_mm_andnot_si128(set, v), _mm_and_si128(set, pipe)));
        }
    }
    return out + (to - from);
}

// Each word's enclosing quotes found by their mask, and the rest gathered
// by the table of shuffles.
[[gnu::target("ssse3"), gnu::flatten]] unsigned char* finish_words(
    const unsigned char* in, std::size_t n, unsigned char* out, finish_carry& c)
{
    const __m128i quote = _mm_set1_epi8('"');
    for (std::size_t pos = 0; pos < n; pos += 64) {
        const std::size_t size = n - pos < 64 ? n - pos : 64;
        __m128i v[4];
        std::uint64_t quotes = 0;
        for (unsigned i = 0; i < 4; ++i) {
            v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos + 16 * i));
            quotes |= bits_of(_mm_cmpeq_epi8(v[i], quote), i);
        }
        const std::uint64_t kept = kept_bytes(quotes, in + pos, size, c);
        if (kept == ~std::uint64_t {0} >> (64 - size)) {
            for (unsigned i = 0; i < 4; ++i)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), v[i]);
            out += size;
            continue;
        }
        for (unsigned i = 0; i < 4; ++i)
            out = gather16(v[i], static_cast<unsigned>(kept >> (16 * i)) & 0xFFFF, out);
    }
    return out;
}

// Up to 16 bytes are looked at in one register; longer fields 16 bytes at
// a time, the last 16 overlapping.
bool field_holds(const unsigned char* p, std::size_t n, bool quotes, bool line_breaks)
{
    const auto found = [quotes, line_breaks](__m128i v) {
        __m128i hits = _mm_cmpeq_epi8(v, _mm_set1_epi8('|'));
        if (quotes)
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
        if (line_breaks)
            hits = _mm_or_si128(
                hits, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
        return _mm_movemask_epi8(hits) != 0;
    };
    if (n < 8)
        return found(_mm_cvtsi64_si128(static_cast<long long>(short_word(p, n))));
    if (n <= 16)
        return found(_mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 8))));
    const unsigned char* const last = p + n - 16;
    for (; p < last; p += 16) {
        if (found(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
            return true;
    }
    return found(_mm_loadu_si128(reinterpret_cast<const __m128i*>(last)));
}

// Fields full of line breaks are common enough: 16 bytes at a time,
// whatever they hold, and the tail a word at a time.
std::size_t line_breaks_to_spaces(unsigned char* field, std::size_t length, unsigned char*& pipe)
{
    pipe = nullptr;
    std::size_t line_feeds = 0;
    unsigned char* p = field;
    unsigned char* const end = field + length;
    const __m128i space = _mm_set1_epi8(' ');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i feeds = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
        const __m128i breaks = _mm_or_si128(feeds, _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
        if (pipe == nullptr) {
            if (const auto pipes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('|')))))
                pipe = p + std::countr_zero(pipes);
        }
        if (_mm_movemask_epi8(breaks) != 0) {
            line_feeds += static_cast<std::size_t>(count_bits(static_cast<unsigned>(_mm_movemask_epi8(feeds))));
            _mm_storeu_si128(
                reinterpret_cast<__m128i*>(p), _mm_or_si128(_mm_andnot_si128(breaks, v), _mm_and_si128(breaks, space)));
        }
    }
    return line_feeds + line_breaks_to_spaces_words(p, end, pipe);
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
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + taken));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + taken + 16));
        if (big_endian) {
            a = swap_bytes(a);
            b = swap_bytes(b);
        }
        const __m128i zero = _mm_setzero_si128();
        const auto ascii
            = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(a, not_ascii), zero)))
            | static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(b, not_ascii), zero))) << 16;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(a, b));
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
[[gnu::target("ssse3")]] inline unsigned char* pack_four(__m128i units, unsigned char* out)
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
    const __m128i packed
        = _mm_shuffle_epi8(lanes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(UTF8_PACKING.shuffle[code])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
    return out + UTF8_PACKING.length[code];
}

// Runs of ASCII as above, and eight units of the Basic Multilingual Plane
// at a time, each made its one to three bytes; a surrogate stops it.
[[gnu::target("ssse3"), gnu::flatten]] transcoded plane_from_utf16(
    const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    std::size_t taken = 0;
    while (n - taken >= 32) {
        const transcoded ascii = ascii_from_utf16(in + taken, n - taken, big_endian, out);
        taken += ascii.taken;
        out = ascii.out;
        if (n - taken < 16)
            break;
        __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + taken));
        if (big_endian)
            units = swap_bytes(units);
        const __m128i surrogates = _mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xF800))),
            _mm_set1_epi16(static_cast<short>(0xD800)));
        if (_mm_movemask_epi8(surrogates) != 0)
            break;
        const __m128i zero = _mm_setzero_si128();
        out = pack_four(_mm_unpacklo_epi16(units, zero), out);
        out = pack_four(_mm_unpackhi_epi16(units, zero), out);
        taken += 16;
    }
    return {taken, out};
}

transcoded ascii_to_utf16(const unsigned char* in, std::size_t n, bool big_endian, unsigned char* out)
{
    std::size_t taken = 0;
    for (; n - taken >= 16; taken += 16, out += 32) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + taken));
        const __m128i zero = _mm_setzero_si128();
        const __m128i first = big_endian ? _mm_unpacklo_epi8(zero, v) : _mm_unpacklo_epi8(v, zero);
        const __m128i second = big_endian ? _mm_unpackhi_epi8(zero, v) : _mm_unpackhi_epi8(v, zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), second);
        if (const auto high = static_cast<unsigned>(_mm_movemask_epi8(v))) {
            const auto bytes = static_cast<std::size_t>(std::countr_zero(high));
            out += 2 * bytes;
            return {taken + bytes, out};
        }
    }
    return {taken, out};
}

}  // namespace

kernel_table sse2_kernels()
{
    kernel_table k = portable_kernels();
    k.unit = vector_unit::sse2;
    k.scan_block = scan_block;
    k.copy_record = copy_record;
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) {
        k.finish_words = finish_words;
        k.utf16_to_utf8 = decode_utf16<plane_from_utf16>;
    } else {
        k.utf16_to_utf8 = decode_utf16<ascii_from_utf16>;
    }
    k.field_holds = field_holds;
    k.line_breaks_to_spaces = line_breaks_to_spaces;
    k.utf8_to_utf16 = encode_utf16<ascii_to_utf16>;
    return k;
}
