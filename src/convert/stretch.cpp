#include <bit>
#include <cstdint>
#include <cstring>

#include "common/bits.h"
#include "common/common.h"
#include "convert/convert.h"
#include "platform/platform.h"

// A stretch of plain records becomes the intermediate file's bytes a
// record at a time: a quoted field already stands as the file has it,
// quotes doubled, and an unquoted one, which holds neither a quote nor
// (unless marked) a '|', may stand bare, so a record is copied whole, its
// commas outside quotes made '|', and its end made CR LF. Only the fields
// that lose blanks or hold a marked byte (a '|' or a line break to clean)
// are written one by one, and only a quoted one with a '|' the careful
// way, through on_field, with the counters as it expects them.

namespace {

inline bool maybe_blank(unsigned char c)
{
    return c <= ' ' && (c == ' ' || c == '\t');
}

inline bool line_end(unsigned char c)
{
    return c == '\r' || c == '\n';
}

// The first separator in [from, to), or to.
std::size_t next_separator(const std::uint64_t* separators, std::size_t from, std::size_t to)
{
    for (std::size_t at = from; at < to; at += 64) {
        if (const std::uint64_t bits = bits_at(separators, at)) {
            const std::size_t found = at + static_cast<std::size_t>(std::countr_zero(bits));
            return found < to ? found : to;
        }
    }
    return to;
}

// The quoted field [start, end) of the block as on_field expects it:
// without its quotes and with doubled quotes made one.
void put_with_care(intermediate_writer& writer, unsigned char* bytes, std::size_t start, std::size_t end)
{
    unsigned char* const field = bytes + start + 1;
    on_field(field, collapse_quotes(field, end - start - 2), &writer);
}

// Room for a stretch's bytes as they may come out: each byte of the
// input gives at most two.
void make_room(output_buffer& out, std::size_t input_bytes)
{
    if (OUTPUT_BUFFER_SIZE - out.used < 2 * input_bytes + 4)
        out.flush();
}

// The last separator in [from, to), or to if there is none.
std::size_t last_separator(const std::uint64_t* separators, std::size_t from, std::size_t to)
{
    for (std::size_t at = to; at > from;) {
        const std::size_t start = at >= from + 64 ? at - 64 : from;
        std::uint64_t bits = bits_at(separators, start);
        if (at - start < 64)
            bits &= (std::uint64_t {1} << (at - start)) - 1;
        if (bits != 0)
            return start + 63 - static_cast<std::size_t>(std::countl_zero(bits));
        at = start;
    }
    return to;
}

// How many separators lie in [from, to).
std::int64_t separators_in(const std::uint64_t* separators, std::size_t from, std::size_t to)
{
    std::int64_t count = 0;
    for (std::size_t at = from; at < to; at += 64) {
        std::uint64_t bits = bits_at(separators, at);
        if (to - at < 64)
            bits &= (std::uint64_t {1} << (to - at)) - 1;
        count += count_bits(bits);
    }
    return count;
}

// The bytes [from, to) of the block as they stand, their separators made
// '|'. Both sides have room for 63 bytes more.
unsigned char* copy_segment(
    unsigned char* out, const unsigned char* bytes, std::size_t from, std::size_t to, const std::uint64_t* separators)
{
    return from == to ? out : run_kernels.copy_record(out, bytes, from, to, separators);
}

// Where a stretch's walk stands.
struct walk {
    const plain_stretch& s;
    intermediate_writer& writer;
    unsigned char* o;  // the next byte out
    std::size_t m;  // the next mark
    std::uint32_t next_mark;
    std::size_t u;  // the next uneven blank
    std::uint32_t next_uneven;
    std::int64_t records_done;
};

// The record [pos, end), which holds marked bytes or blanks to drop: the
// fields that do are written one by one, marked ones through on_field (or,
// unquoted, with their first '|' made a space and their message here), and
// the runs of fields between them copied as copy_segment does.
void put_record_with_care(walk& k, std::size_t pos, std::size_t end)
{
    const plain_stretch& s = k.s;
    output_buffer& out = k.writer.out;
    unsigned char* const base = out.bytes.get();
    unsigned char* const bytes = s.bytes;
    const std::uint64_t* const separators = s.separators;
    // The bytes from copied on are still to go out: a field's start, or the
    // separator after a field written one by one.
    std::size_t copied = pos;
    for (;;) {
        const std::size_t special = std::min(k.next_mark, k.next_uneven);
        if (special >= end)
            break;
        const std::size_t before = last_separator(separators, copied, special);
        const std::size_t start = before == special ? copied : before + 1;
        const std::size_t field_end = next_separator(separators, special, end);
        const std::int64_t field = 1 + separators_in(separators, pos, start);
        // The field writes its own separator, as on_field does.
        k.o = copy_segment(k.o, bytes, copied, start > pos ? start - 1 : start, separators);
        const bool marked = k.next_mark < field_end;
        const std::size_t pipe = k.next_mark;
        const std::size_t first_mark = k.m;
        bool pipes = false;
        for (; k.m < s.marked_count && s.marked[k.m] < field_end; ++k.m)
            pipes |= bytes[s.marked[k.m]] == '|';
        k.next_mark = k.m < s.marked_count ? s.marked[k.m] : UINT32_MAX;
        while (k.u < s.uneven_count && s.uneven[k.u] < field_end)
            ++k.u;
        k.next_uneven = k.u < s.uneven_count ? s.uneven[k.u] : UINT32_MAX;
        if (marked && bytes[start] == '"' && !pipes) {
            // Only line breaks to clean: the field stays as it stands, its
            // quotes still doubled, each line break a space or gone.
            *k.o = '|';
            k.o += field > 1;
            std::size_t line_feeds = 0;
            if (run_options.line_break_mode == LINE_BREAKS_TO_SPACE) {
                unsigned char* const field_out = k.o;
                k.o = copy_over(k.o, bytes + start, field_end - start);
                for (std::size_t i = first_mark; i < k.m; ++i) {
                    line_feeds += bytes[s.marked[i]] == '\n';
                    field_out[s.marked[i] - start] = ' ';
                }
            } else {
                std::size_t from = start;
                for (std::size_t i = first_mark; i < k.m; ++i) {
                    line_feeds += bytes[s.marked[i]] == '\n';
                    k.o = copy_over(k.o, bytes + from, s.marked[i] - from);
                    from = s.marked[i] + 1;
                }
                k.o = copy_over(k.o, bytes + from, field_end - from);
            }
            run_counters.records_done = k.records_done;
            run_counters.field_number = field;
            report_line_feeds_changed(line_feeds);
        } else if (marked && bytes[start] == '"') {
            out.used = static_cast<std::size_t>(k.o - base);
            run_counters.records_done = k.records_done;
            run_counters.field_number = field - 1;
            put_with_care(k.writer, bytes, start, field_end);
            make_room(out, s.end - field_end);
            k.o = base + out.used;
        } else {
            std::size_t first = start, last = field_end;
            while (first < last && maybe_blank(bytes[first]))
                ++first;
            while (last > first && maybe_blank(bytes[last - 1]))
                --last;
            *k.o = '|';
            k.o += field > 1;
            if (marked) {
                // An unquoted field holds no line break: what is marked is
                // '|', the first of which becomes a space, and the field
                // then stands in quotes.
                run_counters.records_done = k.records_done;
                run_counters.field_number = field;
                report_pipe(bytes + first, last - first);
                *k.o++ = '"';
                unsigned char* const field_out = k.o;
                k.o = copy_over(k.o, bytes + first, last - first);
                field_out[pipe - first] = ' ';
                *k.o++ = '"';
            } else {
                k.o = copy_over(k.o, bytes + first, last - first);
            }
        }
        copied = field_end;
    }
    k.o = copy_segment(k.o, bytes, copied, end, separators);
}

}  // namespace

std::size_t on_plain_stretch(const plain_stretch& s, void* data)
{
    auto& writer = *static_cast<intermediate_writer*>(data);
    output_buffer& out = writer.out;
    const std::int64_t records_before = run_counters.records_done;
    make_room(out, s.end - s.start);
    walk k {s, writer, out.bytes.get() + out.used, 0, s.marked_count > 0 ? s.marked[0] : UINT32_MAX, 0,
        s.uneven_count > 0 ? s.uneven[0] : UINT32_MAX, records_before};
    // Copied out, as the bytes written could otherwise alias them all.
    unsigned char* const bytes = s.bytes;
    const std::uint32_t* const line_ends = s.line_ends;
    const std::size_t line_end_count = s.line_end_count;
    const std::uint64_t* const separators = s.separators;

    std::size_t pos = s.start;
    std::size_t i = 0;
    while (i < line_end_count) {
        // Blanks and empty lines between records give nothing.
        for (; maybe_blank(bytes[pos]) || line_end(bytes[pos]); ++pos)
            i += line_end(bytes[pos]);
        if (i >= line_end_count)
            break;
        const std::size_t end = line_ends[i++];
        // Blanks skipped before the record need nothing more.
        while (k.next_uneven < pos)
            k.next_uneven = ++k.u < s.uneven_count ? s.uneven[k.u] : UINT32_MAX;
        if (k.next_mark < end || k.next_uneven < end) {
            put_record_with_care(k, pos, end);
            k.o[0] = '\r';
            k.o[1] = '\n';
            k.o += 2;
            pos = end + 1;
            if (++k.records_done % 1000 == 0)
                report_progress(k.records_done);
            continue;
        }
        // This record and those that follow it directly, each ended by CR
        // LF and needing nothing more, go in one copy, their CR LFs with
        // them: their output is their input, separators made '|'.
        std::size_t last = end;
        std::int64_t records = 1;
        while (bytes[last] == '\r' && bytes[last + 1] == '\n' && i + 1 < line_end_count
            && !maybe_blank(bytes[last + 2]) && !line_end(bytes[last + 2]) && k.next_mark >= line_ends[i + 1]
            && k.next_uneven >= line_ends[i + 1]) {
            last = line_ends[i + 1];
            i += 2;
            ++records;
        }
        k.o = copy_segment(k.o, bytes, pos, last, separators);
        k.o[0] = '\r';
        k.o[1] = '\n';
        k.o += 2;
        pos = last + 1;
        const std::int64_t done = k.records_done + records;
        for (std::int64_t shown = (k.records_done / 1000 + 1) * 1000; shown <= done; shown += 1000)
            report_progress(shown);
        k.records_done = done;
    }
    out.used = static_cast<std::size_t>(k.o - out.bytes.get());
    run_counters.records_done = k.records_done;
    run_counters.field_number = 0;
    return static_cast<std::size_t>(k.records_done - records_before);
}
