#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "common/common.h"
#include "common/platform.h"
#include "convert/convert.h"

// A stretch of plain records becomes the intermediate file's bytes a
// record at a time: a quoted field already stands as the file has it,
// quotes doubled, and an unquoted one, which holds neither a quote nor
// (unless marked) a '|', may stand bare, so a record is copied whole, its
// commas outside quotes made '|', and its end made CR LF. Only a record
// with a field that loses blanks or holds a marked byte (a '|' or a line
// break to clean) goes field by field, and only a marked field the careful
// way, through on_field, with the counters as it expects them.

namespace {

// Copies n bytes 32 at a time: both sides have room for up to 31 more.
inline unsigned char* copy_over(unsigned char* to, const unsigned char* from, std::size_t n)
{
    std::size_t done = 0;
    do {
        std::memcpy(to + done, from + done, 32);
        done += 32;
    } while (done < n);
    return to + n;
}

inline bool maybe_blank(unsigned char c)
{
    return c <= ' ' && (c == ' ' || c == '\t');
}

inline bool line_end(unsigned char c)
{
    return c == '\r' || c == '\n';
}

// The separator bits of bytes [at, at + 64).
inline std::uint64_t separator_bits(const std::uint64_t* separators, std::size_t at)
{
    const std::size_t w = at / 64, shift = at % 64;
    return shift == 0 ? separators[w] : (separators[w] >> shift) | (separators[w + 1] << (64 - shift));
}

// The first separator in [from, to), or to.
std::size_t next_separator(const std::uint64_t* separators, std::size_t from, std::size_t to)
{
    for (std::size_t at = from; at < to; at += 64) {
        if (const std::uint64_t bits = separator_bits(separators, at)) {
            const std::size_t found = at + static_cast<std::size_t>(std::countr_zero(bits));
            return found < to ? found : to;
        }
    }
    return to;
}

// The record [from, to) as it stands, its separators made '|'. Both sides
// have room for 63 bytes more.
unsigned char* copy_record(
    unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to, const std::uint64_t* separators)
{
    copy_over(out, bytes + from, to - from);
    for (std::size_t at = from; at < to; at += 64) {
        std::uint64_t bits = separator_bits(separators, at);
        if (to - at < 64)
            bits &= (std::uint64_t {1} << (to - at)) - 1;
        for (; bits != 0; bits &= bits - 1)
            out[at - from + static_cast<std::size_t>(std::countr_zero(bits))] = '|';
    }
    return out + (to - from);
}

#if defined(__x86_64__)
// The same, 32 bytes at a time: each byte takes its bit of the mask, and
// where it is set, a '|'.
[[gnu::target("avx2,bmi,bmi2")]] unsigned char* copy_record_avx2(
    unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to, const std::uint64_t* separators)
{
    const __m256i pipe = _mm256_set1_epi8('|');
    const __m256i spread = _mm256_setr_epi8(
        0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    for (std::size_t at = from; at < to; at += 32) {
        const auto bits = static_cast<std::uint32_t>(separator_bits(separators, at));
        const __m256i each = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), spread);
        const __m256i set = _mm256_cmpeq_epi8(_mm256_and_si256(each, bit), bit);
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + at));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + (at - from)), _mm256_blendv_epi8(v, pipe, set));
    }
    return out + (to - from);
}

// The same, 64 bytes at a time, the separators blended in by their mask.
[[gnu::target("avx512f,avx512bw,bmi,bmi2")]] unsigned char* copy_record_avx512(
    unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to, const std::uint64_t* separators)
{
    const __m512i pipe = _mm512_set1_epi8('|');
    for (std::size_t at = from; at < to; at += 64) {
        const __m512i v = _mm512_loadu_si512(bytes + at);
        _mm512_storeu_si512(out + (at - from), _mm512_mask_blend_epi8(separator_bits(separators, at), v, pipe));
    }
    return out + (to - from);
}
#endif

// The field [start, end) of the block as on_field expects it: without its
// quotes and with doubled quotes made one, or without its blanks.
void put_with_care(intermediate_writer& writer, unsigned char* bytes, std::size_t start, std::size_t end)
{
    unsigned char* field = bytes + start;
    std::size_t length = end - start;
    if (*field == '"') {
        field += 1;
        length = collapse_quotes(field, length - 2);
    } else {
        while (length > 0 && maybe_blank(field[0])) {
            ++field;
            --length;
        }
        while (length > 0 && maybe_blank(field[length - 1]))
            --length;
    }
    on_field(field, length, &writer);
}

// Room for a stretch's bytes as they may come out: each byte of the
// input gives at most two.
void make_room(output_buffer& out, std::size_t input_bytes)
{
    if (OUTPUT_BUFFER_SIZE - out.used < 2 * input_bytes + 4)
        out.flush();
}

// Where a stretch's walk stands.
struct walk {
    const plain_stretch& s;
    intermediate_writer& writer;
    unsigned char* o;  // the next byte out
    std::size_t m;  // the next mark
    std::uint32_t next_mark;
    std::int64_t records_done;
};

// The record [pos, end) field by field: blanks dropped, and marked fields
// through on_field.
void put_record_with_care(walk& k, std::size_t pos, std::size_t end)
{
    const plain_stretch& s = k.s;
    output_buffer& out = k.writer.out;
    unsigned char* const base = out.bytes.get();
    unsigned char* const bytes = s.bytes;
    for (std::int64_t field = 1;; ++field) {
        const std::size_t field_end = next_separator(s.separators, pos, end);
        if (k.next_mark < field_end) {
            while (k.m < s.marked_count && s.marked[k.m] < field_end)
                ++k.m;
            k.next_mark = k.m < s.marked_count ? s.marked[k.m] : UINT32_MAX;
            out.used = static_cast<std::size_t>(k.o - base);
            run_counters.records_done = k.records_done;
            run_counters.field_number = field - 1;
            put_with_care(k.writer, bytes, pos, field_end);
            make_room(out, s.end - field_end);
            k.o = base + out.used;
        } else {
            *k.o = '|';
            k.o += field > 1;
            std::size_t first = pos, last = field_end;
            while (first < last && maybe_blank(bytes[first]))
                ++first;
            while (last > first && maybe_blank(bytes[last - 1]))
                --last;
            k.o = copy_over(k.o, bytes + first, last - first);
        }
        if (field_end == end)
            return;
        pos = field_end + 1;
    }
}

}  // namespace

std::size_t on_plain_stretch(const plain_stretch& s, void* data)
{
    auto& writer = *static_cast<intermediate_writer*>(data);
    output_buffer& out = writer.out;
    const std::int64_t records_before = run_counters.records_done;
    make_room(out, s.end - s.start);
    walk k {s, writer, out.bytes.get() + out.used, 0, s.marked_count > 0 ? s.marked[0] : UINT32_MAX, records_before};
    // Copied out, as the bytes written could otherwise alias them all.
    unsigned char* const bytes = s.bytes;
    const std::uint32_t* const line_ends = s.line_ends;
    const std::size_t line_end_count = s.line_end_count;
    const std::uint64_t* const separators = s.separators;
    const vector_unit unit = s.unit;
    std::size_t u = 0;
    std::uint32_t next_uneven = s.uneven_count > 0 ? s.uneven[0] : UINT32_MAX;

    std::size_t pos = s.start;
    std::size_t i = 0;
    while (i < line_end_count) {
        // Blanks and empty lines between records give nothing.
        for (; maybe_blank(bytes[pos]) || line_end(bytes[pos]); ++pos)
            i += line_end(bytes[pos]);
        if (i >= line_end_count)
            break;
        const std::size_t end = line_ends[i++];
        while (next_uneven < pos)
            next_uneven = ++u < s.uneven_count ? s.uneven[u] : UINT32_MAX;
        if (k.next_mark < end || next_uneven < end) {
            put_record_with_care(k, pos, end);
        } else {
#if defined(__x86_64__)
            k.o = unit == vector_unit::avx512 ? copy_record_avx512(k.o, bytes, pos, end, separators)
                : unit == vector_unit::avx2   ? copy_record_avx2(k.o, bytes, pos, end, separators)
                                              : copy_record(k.o, bytes, pos, end, separators);
#else
            static_cast<void>(unit);
            k.o = copy_record(k.o, bytes, pos, end, separators);
#endif
        }
        k.o[0] = '\r';
        k.o[1] = '\n';
        k.o += 2;
        pos = end + 1;
        if (++k.records_done % 1000 == 0) {
            console_print(stdout, MSG_PROGRESS, static_cast<long long>(k.records_done));
            console_flush(stdout);
        }
    }
    out.used = static_cast<std::size_t>(k.o - out.bytes.get());
    run_counters.records_done = k.records_done;
    run_counters.field_number = 0;
    return static_cast<std::size_t>(k.records_done - records_before);
}
