#include <algorithm>
#include <bit>
#include <cstring>

#include "common/bits.h"
#include "split/block.h"

// Two ways of reading records. The fast one works out where every field of
// a stretch of the block ends before it reads any: counting quotes tells
// inside from outside, and a comma or line end outside quotes ends a field,
// provided every quote stands where a plain field has it: an opening quote
// directly after a comma, a line end, another quote or the stretch's start;
// a closing quote directly before a comma, a line end or another quote.
// Fields then do not wait on each other to be read. The careful one reads
// one record field by field, and takes what the fast one leaves: blanks
// before an opening quote, and the block's last record.

field_ends::field_ends(std::size_t capacity)
    : ends(std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 64))
    , doubled(std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 64))
    , marked(std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 64))
    , uneven(std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 64))
    , separators(std::make_unique<std::uint64_t[]>(capacity / 64 + 2))
{
}

namespace {

// Both blanks lie below '!', as few data bytes do, so one comparison
// settles most bytes.
bool maybe_blank(unsigned char c)
{
    return c <= ' ' && is_blank(c);
}

// Writes the positions of the set bits, eight at a time whatever their
// number, so that the loop's end is seldom mispredicted: out has room for
// 64 past the last. Wide: compiled for processors that count bits in one
// instruction.
template <bool Wide>
[[gnu::always_inline]] inline std::uint32_t* positions(std::uint64_t bits, std::size_t base, std::uint32_t* out)
{
    if (bits == 0)
        return out;
    const int count = Wide ? std::popcount(bits) : count_bits(bits);
    const auto base32 = static_cast<std::uint32_t>(base);
    std::uint32_t* p = out;
    do {
        for (int i = 0; i < 8; ++i) {
            p[i] = base32 + static_cast<std::uint32_t>(std::countr_zero(bits));
            bits &= bits - 1;
            // Hidden from the compiler, which would otherwise stop at the
            // last bit after all, with a branch on each.
            asm("" : "+r"(bits));
        }
        p += 8;
    } while (bits != 0);
    return out + count;
}

struct found_counts {
    std::size_t ends;
    std::size_t doubled;
    std::size_t marked;
    std::size_t uneven;
};

// Notes the ends of fields from pos to limit, stopping at the first quote
// that is not where a plain field has it. For a stretch, only the line
// ends, with the commas outside quotes as a mask, the '|' and (with
// mark_line_breaks) the line ends inside quotes, and the blanks next to a
// comma or line end outside quotes, which a field loses.
template <bool Wide>
[[gnu::always_inline]] inline found_counts find_ends(
    const block& b, std::size_t pos, std::size_t limit, field_ends& found, bool stretch, bool mark_line_breaks)
{
    std::uint32_t* ends = found.ends.get();
    std::uint32_t* doubled = found.doubled.get();
    std::uint32_t* marked = found.marked.get();
    std::uint32_t* uneven = found.uneven.get();
    std::uint64_t* const separators = found.separators.get();
    const std::uint64_t commas_ending = stretch ? 0 : ~std::uint64_t {0};
    bool inside = false;
    std::uint64_t stop_before = std::uint64_t {1} << (pos % 64);  // pos begins a field
    std::uint64_t outside_stop_before = stop_before;
    for (std::size_t w = pos / 64; w * 64 < limit; ++w) {
        std::uint64_t valid = ~std::uint64_t {0} << (w == pos / 64 ? pos % 64 : 0);
        if (limit - w * 64 < 64)
            valid &= (std::uint64_t {1} << (limit - w * 64)) - 1;
        const std::uint64_t all_stops = b.quotes[w] | b.commas[w] | b.line_ends[w];
        const std::uint64_t next_stops = b.quotes[w + 1] | b.commas[w + 1] | b.line_ends[w + 1];
        const std::uint64_t quotes = b.quotes[w] & valid;
        const std::uint64_t stops = all_stops & valid;
        const std::uint64_t in = prefix_xor(quotes) ^ (inside ? ~std::uint64_t {0} : 0);
        const std::uint64_t opening = quotes & in;
        const std::uint64_t closing = quotes & ~in;
        const std::uint64_t after_stop = (stops << 1) | stop_before;
        const std::uint64_t before_stop = (all_stops >> 1) | (next_stops << 63);
        const std::uint64_t stray = (opening & ~after_stop) | (closing & ~before_stop);
        const std::uint64_t keep = stray == 0 ? valid : valid & ((stray & -stray) - 1);
        ends = positions<Wide>(((b.commas[w] & commas_ending) | b.line_ends[w]) & ~in & keep, w * 64, ends);
        if (stretch) {
            separators[w] = b.commas[w] & ~in & keep;
            marked
                = positions<Wide>((b.pipes[w] | (mark_line_breaks ? b.line_ends[w] & in : 0)) & keep, w * 64, marked);
            // The next word's first byte is a stop outside quotes if it is a
            // comma or line end and this word ends outside.
            const std::uint64_t outside_stops = (b.commas[w] | b.line_ends[w]) & ~in & valid;
            const std::uint64_t next_outside = (b.commas[w + 1] | b.line_ends[w + 1]) & ((in >> 63) ^ 1);
            const std::uint64_t next_to_stop
                = (outside_stops << 1) | outside_stop_before | (outside_stops >> 1) | (next_outside << 63);
            uneven = positions<Wide>(b.blanks[w] & next_to_stop & keep, w * 64, uneven);
            outside_stop_before = outside_stops >> 63;
        } else {
            const std::uint64_t next_quotes = (b.quotes[w] >> 1) | (b.quotes[w + 1] << 63);
            doubled = positions<Wide>(closing & next_quotes & keep, w * 64, doubled);
        }
        if (stray != 0)
            break;
        inside = (in >> 63) != 0;
        stop_before = stops >> 63;
    }
    return {static_cast<std::size_t>(ends - found.ends.get()), static_cast<std::size_t>(doubled - found.doubled.get()),
        static_cast<std::size_t>(marked - found.marked.get()), static_cast<std::size_t>(uneven - found.uneven.get())};
}

// The same, compiled twice: processors with AVX2 all count bits and find
// the lowest in one instruction each, which x86-64 alone does not promise.
found_counts find_field_ends(
    const block& b, std::size_t pos, std::size_t limit, field_ends& found, bool stretch, bool mark_line_breaks)
{
    return find_ends<false>(b, pos, limit, found, stretch, mark_line_breaks);
}

#if defined(__x86_64__)
[[gnu::target("popcnt,bmi,bmi2")]] found_counts find_field_ends_wide(
    const block& b, std::size_t pos, std::size_t limit, field_ends& found, bool stretch, bool mark_line_breaks)
{
    return find_ends<true>(b, pos, limit, found, stretch, mark_line_breaks);
}
#endif

}  // namespace

std::size_t read_plain_records(const block& b, std::size_t pos, std::size_t window, field_ends& found,
    const deliver_to& to, bool mark_line_breaks, std::int64_t& records)
{
    const std::size_t limit = std::min(b.size, pos / 64 * 64 + window);
    const bool stretch = to.on_stretch != nullptr;
#if defined(__x86_64__)
    const found_counts count = b.unit >= vector_unit::avx2
        ? find_field_ends_wide(b, pos, limit, found, stretch, mark_line_breaks)
        : find_field_ends(b, pos, limit, found, stretch, mark_line_breaks);
#else
    const found_counts count = find_field_ends(b, pos, limit, found, stretch, mark_line_breaks);
#endif
    const std::uint32_t* const ends = found.ends.get();
    const std::uint32_t* const doubled = found.doubled.get();
    unsigned char* const bytes = b.bytes;
    // Only records ended within the stretch are read.
    std::size_t safe = count.ends;
    while (safe > 0 && !is_line_end(bytes[ends[safe - 1]]))
        --safe;
    if (stretch) {
        if (safe == 0)
            return pos;
        const std::size_t end = ends[safe - 1] + 1;
        const std::uint32_t* const marked = found.marked.get();
        std::size_t marked_count = count.marked;
        while (marked_count > 0 && marked[marked_count - 1] >= end)
            --marked_count;
        const std::uint32_t* const uneven = found.uneven.get();
        std::size_t uneven_count = count.uneven;
        while (uneven_count > 0 && uneven[uneven_count - 1] >= end)
            --uneven_count;
        records += static_cast<std::int64_t>(to.on_stretch(
            {bytes, pos, end, ends, safe, found.separators.get(), marked, marked_count, uneven, uneven_count, b.unit},
            to.data));
        return end;
    }
    std::size_t i = 0, d = 0;
    while (i < safe) {
        // Blanks and empty lines between records give nothing.
        for (; maybe_blank(bytes[pos]) || is_line_end(bytes[pos]); ++pos)
            i += is_line_end(bytes[pos]);
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
                to.on_field(field + 1, length, to.data);
            } else {
                std::size_t first = pos, last = end;
                while (first < last && maybe_blank(bytes[first]))
                    ++first;
                while (last > first && maybe_blank(bytes[last - 1]))
                    --last;
                to.on_field(bytes + first, last - first, to.data);
            }
            pos = end + 1;
            if (is_line_end(bytes[end])) {
                to.on_record(bytes[end], to.data);
                ++records;
                break;
            }
        }
    }
    return pos;
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
        std::size_t last = stop;
        while (last > pos && is_blank(bytes[last - 1]))
            --last;
        add_span(fields, pos, last - pos, 0);
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

std::size_t collapse_quotes(unsigned char* field, std::size_t length)
{
    unsigned char* kept = field;
    const unsigned char* p = field;
    const unsigned char* const end = field + length;
    while (p != end) {
        const unsigned char* const quote = find_byte(p, end, '"');
        const unsigned char* const run_end = quote == end ? end : quote + 1;
        std::memmove(kept, p, static_cast<std::size_t>(run_end - p));
        kept += run_end - p;
        p = quote == end ? end : quote + 2;
    }
    return static_cast<std::size_t>(kept - field);
}
