#include <algorithm>
#include <bit>
#include <cstring>

#include "common/bits.h"
#include "split/block.h"

// Two ways of reading records. The fast one has the kernels work out where
// every field of a stretch of the block ends before it reads any, so that
// fields do not wait on each other to be read. The careful one reads one
// record field by field, and takes what the fast one leaves: blanks before
// an opening quote, and the block's last record.

namespace {

// Every field on its own, as libcsv would deliver it.
std::size_t deliver_fields(const block& b, std::size_t pos, const field_ends& found, const found_counts& count,
    std::size_t safe, const deliver_to& to, std::int64_t& records)
{
    const std::uint32_t* const ends = found.ends.get();
    const std::uint32_t* const doubled = found.doubled.get();
    unsigned char* const bytes = b.bytes;
    // Held apart from to, which the calls could otherwise change.
    const split_field on_field = to.on_field;
    const split_record on_record = to.on_record;
    void* const data = to.data;
    std::size_t i = 0, d = 0;
    while (i < safe) {
        pos = skip_between_records(bytes, pos, i);
        if (i >= safe)
            break;
        for (;;) {
            const std::size_t end = ends[i++];
            unsigned char* const field = bytes + pos;
            if (*field == '"') {
                // end - 1 is the closing quote.
                std::size_t length = end - pos - 2;
                if (d < count.doubled && doubled[d] < end) {
                    while (d < count.doubled && doubled[d] < end)
                        ++d;
                    length = collapse_quotes(field + 1, length);
                }
                on_field(field + 1, length, data);
            } else {
                std::size_t first = pos, last = end;
                drop_blanks(bytes, first, last);
                on_field(bytes + first, last - first, data);
            }
            pos = end + 1;
            if (is_line_end(bytes[end])) {
                on_record(bytes[end], data);
                ++records;
                break;
            }
        }
    }
    return pos;
}

}  // namespace

std::size_t read_plain_records(const block& b, std::size_t pos, std::size_t window, field_ends& found,
    const deliver_to& to, bool mark_line_breaks, std::int64_t& records)
{
    const std::size_t limit = std::min(b.size, pos / 64 * 64 + window);
    const bool stretch = to.on_stretch != nullptr;
    const found_counts count = run_kernels.find_field_ends(b, pos, limit, found, stretch, mark_line_breaks);
    const std::uint32_t* const ends = found.ends.get();
    // Only records ended within the stretch are read.
    std::size_t safe = count.ends;
    while (safe > 0 && !is_line_end(b.bytes[ends[safe - 1]]))
        --safe;
    if (!stretch)
        return deliver_fields(b, pos, found, count, safe, to, records);
    if (safe == 0)
        return pos;
    const std::size_t end = ends[safe - 1] + 1;
    const std::uint32_t* const to_clean = found.to_clean.get();
    std::size_t to_clean_count = count.to_clean;
    while (to_clean_count > 0 && to_clean[to_clean_count - 1] >= end)
        --to_clean_count;
    const std::uint32_t* const loose = found.loose_blanks.get();
    std::size_t loose_count = count.loose_blanks;
    while (loose_count > 0 && loose[loose_count - 1] >= end)
        --loose_count;
    records += static_cast<std::int64_t>(to.on_stretch(
        {b.bytes, pos, end, ends, safe, found.separators.get(), to_clean, to_clean_count, loose, loose_count},
        to.data));
    return end;
}

std::size_t next_stop(const block& b, std::size_t from, bool quotes_only)
{
    const std::size_t words = (b.size + 63) / 64;
    std::size_t w = from / 64;
    const auto stops
        = [&](std::size_t at) { return quotes_only ? b.quotes[at] : b.quotes[at] | b.commas[at] | b.line_ends[at]; };
    if (w >= words)
        return b.size;
    std::uint64_t bits = stops(w) & (~std::uint64_t {0} << (from % 64));
    while (bits == 0) {
        if (++w == words)
            return b.size;
        bits = stops(w);
    }
    return w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
}

namespace {

void add_span(span_list& fields, std::size_t start, std::size_t length, std::uint32_t flags)
{
    if (fields.count == fields.spans.size())
        fields.spans.resize(2 * fields.count + 64);
    fields.spans[fields.count++] = {static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length) | flags};
}

// Reads a field that begins at pos, after any blanks; if it is plain, notes
// where it lies and sets stop to the byte that ended it.
reading read_field(const block& b, std::size_t pos, span_list& fields, std::size_t& stop)
{
    const unsigned char* const bytes = b.bytes;
    while (pos < b.size && is_blank(bytes[pos]))
        ++pos;
    if (pos == b.size)
        return reading::needs_more;
    if (bytes[pos] != '"') {
        stop = next_stop(b, pos, false);
        if (stop == b.size)
            return reading::needs_more;
        if (bytes[stop] == '"')
            return reading::not_plain;
        std::size_t first = pos, last = stop;
        drop_blanks(bytes, first, last);
        add_span(fields, first, last - first, 0);
        return reading::whole;
    }
    // Commas and line ends inside quotes are data.
    std::uint32_t doubled = 0;
    std::size_t quote = pos;
    for (;;) {
        quote = next_stop(b, quote + 1, true);
        if (quote + 1 >= b.size)
            return reading::needs_more;  // what follows the quote decides
        if (bytes[quote + 1] != '"')
            break;
        doubled = DOUBLED_QUOTES;
        ++quote;
    }
    stop = quote + 1;
    if (bytes[stop] != ',' && !is_line_end(bytes[stop]))
        return reading::not_plain;
    add_span(fields, pos + 1, quote - pos - 1, doubled);
    return reading::whole;
}

}  // namespace

reading read_record(const block& b, std::size_t pos, span_list& fields, std::size_t& end)
{
    fields.count = 0;
    for (;;) {
        std::size_t stop = 0;
        if (const reading r = read_field(b, pos, fields, stop); r != reading::whole)
            return r;
        if (b.bytes[stop] != ',') {
            end = stop + 1;
            return reading::whole;
        }
        pos = stop + 1;
    }
}
