// A stretch of whole plain records, as the splitter hands it on at once,
// and the walk through it. Where the stretch's records and fields lie is
// CSV's syntax, written here once; what becomes of each is the reader's.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/bits.h"

// A space or a tab. Both lie below '!', as few data bytes do, so one
// comparison settles most bytes.
inline bool is_blank(unsigned char c)
{
    return c <= ' ' && (c == ' ' || c == '\t');
}

// Moves first and last in past the blanks around an unquoted field.
inline void drop_blanks(const unsigned char* bytes, std::size_t& first, std::size_t& last)
{
    while (first < last && is_blank(bytes[first]))
        ++first;
    while (last > first && is_blank(bytes[last - 1]))
        --last;
}

// Passes the blanks and line ends between records, which give nothing,
// counting the line ends.
inline std::size_t skip_between_records(const unsigned char* bytes, std::size_t pos, std::size_t& line_ends)
{
    for (; is_blank(bytes[pos]) || is_line_end(bytes[pos]); ++pos)
        line_ends += is_line_end(bytes[pos]);
    return pos;
}

// bytes[start, end) holds the records, and blanks and empty lines between
// them. line_ends lists every line end outside quotes, in order: each
// record's end, and those of empty lines. separators has a bit per byte of
// the block (bit i of word w for byte 64 * w + i), set for the commas
// outside quotes, which end the other fields; its bits outside the stretch
// mean nothing. A field that begins with a quote stands in its quotes, each
// quote in it doubled, and runs to its end; any other holds no quote and
// loses the blanks around it. to_clean lists, in order, every '|' and,
// where asked for, every line end inside quotes; loose_blanks, the blanks
// next to a comma or line end outside quotes. The bytes are the reader's
// to change.
struct plain_stretch {
    unsigned char* bytes;
    std::size_t start;
    std::size_t end;
    const std::uint32_t* line_ends;
    std::size_t line_end_count;
    const std::uint64_t* separators;
    const std::uint32_t* to_clean;
    std::size_t to_clean_count;
    const std::uint32_t* loose_blanks;
    std::size_t loose_blank_count;
};

// The first separator in [from, to), or to.
inline std::size_t next_separator(const std::uint64_t* separators, std::size_t from, std::size_t to)
{
    for (std::size_t at = from; at < to; at += 64) {
        if (const std::uint64_t bits = bits_at(separators, at)) {
            const std::size_t found = at + static_cast<std::size_t>(std::countr_zero(bits));
            return found < to ? found : to;
        }
    }
    return to;
}

// The last separator in [from, to), or to if there is none.
inline std::size_t last_separator(const std::uint64_t* separators, std::size_t from, std::size_t to)
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

// How many fields lie in [from, to), whole fields of one record.
inline std::size_t fields_in(const std::uint64_t* separators, std::size_t from, std::size_t to)
{
    std::size_t count = 1;
    for (std::size_t at = from; at < to; at += 64) {
        std::uint64_t bits = bits_at(separators, at);
        if (to - at < 64)
            bits &= (std::uint64_t {1} << (to - at)) - 1;
        count += static_cast<std::size_t>(count_bits(bits));
    }
    return count;
}

// One of the stretch's lists, walked in order alongside the records.
struct position_list {
    const std::uint32_t* at;
    std::size_t count;
    std::size_t next_index = 0;

    std::size_t next() const { return next_index < count ? at[next_index] : SIZE_MAX; }
    void pass(std::size_t before)
    {
        while (next_index < count && at[next_index] < before)
            ++next_index;
    }
};

// The marks of [first, last) alone: a blank dropped around an unquoted
// field is not the field's, whatever rule it would fall under.
inline std::span<const std::uint32_t> marks_within(
    std::span<const std::uint32_t> marks, std::size_t first, std::size_t last)
{
    while (!marks.empty() && marks.front() < first)
        marks = marks.subspan(1);
    while (!marks.empty() && marks.back() >= last)
        marks = marks.first(marks.size() - 1);
    return marks;
}

// The record [pos, end) holds fields that need more than a copy: each goes
// to the reader on its own, and the runs of fields between them as copies.
template <typename Reader>
[[gnu::always_inline]] inline void walk_record_in_parts(const plain_stretch& s, position_list& to_clean,
    position_list& loose, Reader& reader, std::size_t pos, std::size_t end)
{
    const unsigned char* const bytes = s.bytes;
    std::size_t copied = pos;  // the first field not yet handed on
    for (;;) {
        const std::size_t special = std::min(to_clean.next(), loose.next());
        if (special >= end)
            break;
        const std::size_t before = last_separator(s.separators, copied, special);
        const std::size_t start = before == special ? copied : before + 1;
        const std::size_t field_end = next_separator(s.separators, special, end);
        if (start > copied)
            reader.copy_fields(copied, start - 1, fields_in(s.separators, copied, start - 1));
        const std::uint32_t* const marks = to_clean.at + to_clean.next_index;
        to_clean.pass(field_end);
        loose.pass(field_end);
        const std::span<const std::uint32_t> field_marks(marks, to_clean.at + to_clean.next_index);
        if (bytes[start] == '"') {
            reader.quoted_field(start + 1, field_end - 1, field_marks);
        } else {
            std::size_t first = start, last = field_end;
            drop_blanks(bytes, first, last);
            reader.field(first, last, marks_within(field_marks, first, last));
        }
        copied = field_end + 1;
    }
    if (copied <= end)
        reader.copy_through(copied, end, 0);
}

// Walks the stretch's records in order, telling the reader what each
// holds; returns how many there are. Reader has:
//   copy_fields(from, to, fields)  [from, to) holds so many whole fields
//       of one record that need nothing, more of which follows: a quoted
//       one stands in its quotes, each quote in it doubled, an unquoted one
//       holds no quote and no blank at either end; the separators' bits
//       mark the commas between them;
//   copy_through(from, to, records)  such fields, from one that begins a
//       field up to a record's line end at to; so many records end inside
//       it, each by CR LF;
//   field(from, to, marks)  an unquoted field, its blanks dropped, that
//       holds bytes to clean (marks, the field's part of to_clean, which
//       may be empty) or had blanks to drop;
//   quoted_field(from, to, marks)  a quoted field's bytes between its
//       quotes, each quote still doubled, and its bytes to clean (marks,
//       not empty);
//   record_end(at)  the record ends at its line end, at.
template <typename Reader>
[[gnu::always_inline]] inline std::size_t walk_stretch(const plain_stretch& s, Reader& reader)
{
    const unsigned char* const bytes = s.bytes;
    position_list to_clean {s.to_clean, s.to_clean_count};
    position_list loose {s.loose_blanks, s.loose_blank_count};
    std::size_t records = 0;
    std::size_t pos = s.start;
    std::size_t i = 0;
    while (i < s.line_end_count) {
        pos = skip_between_records(bytes, pos, i);
        if (i >= s.line_end_count)
            break;
        const std::size_t end = s.line_ends[i++];
        loose.pass(pos);  // blanks before the record are gone already
        ++records;
        if (to_clean.next() < end || loose.next() < end) {
            walk_record_in_parts(s, to_clean, loose, reader, pos, end);
            reader.record_end(end);
            pos = end + 1;
            continue;
        }
        // This record and those that follow it directly, each ended by CR
        // LF and needing nothing, go in one copy, their CR LFs with them.
        std::size_t last = end;
        std::size_t inside = 0;
        while (bytes[last] == '\r' && bytes[last + 1] == '\n' && i + 1 < s.line_end_count && !is_blank(bytes[last + 2])
            && !is_line_end(bytes[last + 2]) && to_clean.next() >= s.line_ends[i + 1]
            && loose.next() >= s.line_ends[i + 1]) {
            last = s.line_ends[i + 1];
            i += 2;
            ++inside;
        }
        reader.copy_through(pos, last, inside);
        reader.record_end(last);
        records += inside;
        pos = last + 1;
    }
    return records;
}
