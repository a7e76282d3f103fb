#include "split/split.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include <csv.h>

#include "split/masks.h"

namespace {

// The scan of the last word may read up to 63 bytes past the data.
constexpr std::size_t PADDING = 64;

// One block of input and the positions of its stops (quotes, commas, CRs
// and LFs) in order, ended by sentinels that hold size. Walking a list of
// positions, rather than searching the scan's bits for the next one, keeps
// each field's work from waiting on the last.
struct block {
    unsigned char* bytes;
    std::size_t size;
    std::uint64_t* mask;
    std::uint32_t* stops;
    std::size_t count;  // stops before the sentinel
};

// Where a field lies in its block, which holds less than 2 GiB.
struct field_span {
    std::uint32_t start;
    std::uint32_t length;  // the top bit says the field has doubled quotes to collapse
};
constexpr std::uint32_t DOUBLED_QUOTES = 0x80000000u;

// The spans of the record being read; grows to the most fields a record
// has had, which a block bounds.
struct span_list {
    std::vector<field_span> spans;
    std::size_t count = 0;

    void add(std::size_t start, std::size_t length, std::uint32_t flags)
    {
        if (count == spans.size())
            spans.resize(2 * count + 64);
        spans[count++] = {static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length) | flags};
    }
};

// Both blanks lie below '!', as few data bytes do, so one comparison
// settles most bytes.
bool is_blank(unsigned char c)
{
    return c <= ' ' && (c == ' ' || c == '\t');
}

bool is_line_end(unsigned char c)
{
    return c == '\r' || c == '\n';
}

void scan_block(block& b, bool portable)
{
    const std::size_t words = (b.size + 63) / 64;
    scan_stops(b.bytes, words, b.mask, portable);
    std::uint32_t* out = b.stops;
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t bits = b.mask[w];
        if (w == words - 1 && b.size % 64 != 0)
            bits &= (std::uint64_t {1} << (b.size % 64)) - 1;  // bytes past the data
        const auto base = static_cast<std::uint32_t>(64 * w);
        while (bits != 0) {
            *out++ = base + static_cast<std::uint32_t>(std::countr_zero(bits));
            bits &= bits - 1;
        }
    }
    // Three sentinels: the common field's look reads up to two stops ahead.
    out[0] = out[1] = out[2] = static_cast<std::uint32_t>(b.size);
    b.count = static_cast<std::size_t>(out - b.stops);
    b.bytes[b.size] = 0;  // read after a quote at the very end: not a quote
}

// The index of the first stop at or after pos.
std::size_t first_stop_from(const block& b, std::size_t pos)
{
    return static_cast<std::size_t>(std::lower_bound(b.stops, b.stops + b.count, pos) - b.stops);
}

enum class reading { whole, needs_more, not_plain };

// Reads a field that begins at pos, after any blanks; k is the index of the
// first stop at or after pos. If the field is plain, notes where it lies
// and sets stop to the stop that ended it and k to that stop's index.
reading read_field(const block& b, std::size_t pos, std::size_t& k, span_list& fields, std::size_t& stop)
{
    const unsigned char* const bytes = b.bytes;
    const std::uint32_t* const stops = b.stops;
    while (pos < b.size && is_blank(bytes[pos]))
        ++pos;
    if (pos == b.size)
        return reading::needs_more;
    if (bytes[pos] != '"') {
        stop = stops[k];
        if (stop == b.size)
            return reading::needs_more;
        if (bytes[stop] == '"')
            return reading::not_plain;
        std::size_t last = stop;
        while (last > pos && is_blank(bytes[last - 1]))
            --last;
        fields.add(pos, last - pos, 0);
        return reading::whole;
    }
    // stops[k] is the opening quote; commas and line ends inside are data.
    std::uint32_t doubled = 0;
    std::size_t quote;
    for (++k;; ++k) {
        quote = stops[k];
        if (quote + 1 >= b.size)
            return reading::needs_more;  // what follows the quote decides
        if (bytes[quote] != '"')
            continue;
        if (bytes[quote + 1] != '"')
            break;
        doubled = DOUBLED_QUOTES;
        ++k;
    }
    stop = quote + 1;
    ++k;
    if (bytes[stop] != ',' && !is_line_end(bytes[stop]))
        return reading::not_plain;
    fields.add(pos + 1, quote - pos - 1, doubled);
    return reading::whole;
}

// Reads the record that begins at pos, a byte that is neither blank nor a
// line end, if every field in it is plain, noting where each field lies;
// end is then just past the byte that ended the record. next is the index
// of the first stop at or after pos, and afterwards of the first after end.
// Nothing is changed, so a record that is not plain can go to libcsv as it
// stands.
reading read_record(const block& b, std::size_t pos, std::size_t& next, span_list& fields, std::size_t& end)
{
    const unsigned char* const bytes = b.bytes;
    const std::uint32_t* const stops = b.stops;
    std::size_t k = next;
    fields.count = 0;
    for (;;) {
        // The common field has no blank before it and, if it is quoted,
        // no stop between its quotes, so that the stop after its closing
        // quote is the second after its opening one. Real files mix quoted
        // and unquoted fields at random, so which it is takes no branch.
        const std::size_t quoted = bytes[pos] == '"';
        const std::size_t close = stops[k + quoted];
        std::size_t stop = stops[k + 2 * quoted];
        if ((bytes[pos] > ' ') & (stop < b.size) & (bytes[stop] != '"')
            & (((bytes[close] == '"') & (close + 1 == stop)) | (quoted == 0))) {
            std::size_t last = stop - quoted;
            while (last > pos && bytes[last - 1] <= ' ' && quoted == 0 && is_blank(bytes[last - 1]))
                --last;
            fields.add(pos + quoted, last - pos - quoted, 0);
            k += 2 * quoted;
        } else if (const reading r = read_field(b, pos, k, fields, stop); r != reading::whole) {
            return r;
        }
        ++k;  // past the stop that ended the field
        if (bytes[stop] != ',') {
            end = stop + 1;
            next = k;
            return reading::whole;
        }
        pos = stop + 1;
    }
}

// Keeps one quote of each doubled pair, in place; returns the new length.
std::size_t collapse_quotes(unsigned char* field, std::size_t length)
{
    unsigned char* kept = field;
    const unsigned char* p = field;
    const unsigned char* const end = field + length;
    while (p != end) {
        const auto* quote = static_cast<const unsigned char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
        const unsigned char* const run_end = quote == nullptr ? end : quote + 1;
        std::memmove(kept, p, static_cast<std::size_t>(run_end - p));
        kept += run_end - p;
        p = quote == nullptr ? end : quote + 2;
    }
    return static_cast<std::size_t>(kept - field);
}

// The caller's callbacks, as libcsv calls them, and a count of the records
// libcsv has ended: a change in it says libcsv stands between records.
struct relay {
    split_field field;
    split_record record;
    void* data;
    std::int64_t records;
};

void relay_field(void* bytes, std::size_t length, void* data)
{
    auto* r = static_cast<relay*>(data);
    r->field(bytes, length, r->data);
}

void relay_record(int terminator, void* data)
{
    auto* r = static_cast<relay*>(data);
    r->records += 1;
    r->record(terminator, r->data);
}

struct parser_guard {
    csv_parser parser;
    parser_guard() { csv_init(&parser, 0); }
    ~parser_guard() { csv_free(&parser); }
    parser_guard(const parser_guard&) = delete;
    parser_guard& operator=(const parser_guard&) = delete;
};

// Hands libcsv the block from pos a line at a time, until it ends a record
// (only a line end can) or the block ends. False on a parse error.
bool feed_parser(csv_parser& parser, relay& r, const block& b, std::size_t& pos, bool& in_parser)
{
    while (pos < b.size) {
        std::size_t end = pos;
        while (end < b.size && !is_line_end(b.bytes[end]))
            ++end;
        end = std::min(end + 1, b.size);
        const std::int64_t before = r.records;
        if (csv_parse(&parser, b.bytes + pos, end - pos, relay_field, relay_record, &r) < end - pos)
            return false;
        pos = end;
        if (r.records != before) {
            in_parser = false;
            return true;
        }
    }
    in_parser = true;
    return true;
}

// Delivers the record the input ends in. With the strict end check on,
// libcsv refuses to finish inside a quoted field; that is how such a field
// is told apart, before it is delivered all the same.
bool finish_parse(csv_parser& parser, relay& r)
{
    csv_set_opts(&parser, CSV_STRICT | CSV_STRICT_FINI);
    const bool closed = csv_fini(&parser, relay_field, relay_record, &r) == 0;
    csv_set_opts(&parser, 0);
    if (!closed)
        csv_fini(&parser, relay_field, relay_record, &r);
    return closed;
}

}  // namespace

split_report split_input(split_read read, void* source, split_field on_field, split_record on_record, void* data,
    const split_settings& settings)
{
    split_report report {};
    const std::size_t capacity = std::clamp(settings.block_size, SPLIT_SMALLEST_BLOCK, SPLIT_LARGEST_BLOCK);
    // Zeroed once, so the scan never reads an unset byte past the data.
    const auto bytes = std::make_unique<unsigned char[]>(capacity + PADDING);
    const auto mask = std::make_unique<std::uint64_t[]>(capacity / 64 + 1);
    const auto stops = std::make_unique_for_overwrite<std::uint32_t[]>(capacity + 3);
    block b {bytes.get(), 0, mask.get(), stops.get(), 0};
    span_list fields;
    parser_guard guard;
    relay r {on_field, on_record, data, 0};

    bool in_parser = false;  // libcsv is inside a record and keeps the input
    bool at_end = false;
    std::size_t held = 0;  // the start of a record, kept from the last block
    while (!at_end) {
        b.size = held;
        while (b.size < capacity) {
            const std::ptrdiff_t got = read(source, b.bytes + b.size, capacity - b.size);
            if (got < 0) {
                report.outcome = SPLIT_STOPPED;
                report.records = r.records + report.direct_records;
                return report;
            }
            if (got == 0) {
                at_end = true;
                break;
            }
            b.size += static_cast<std::size_t>(got);
        }
        scan_block(b, settings.portable_scan);
        held = 0;
        std::size_t pos = 0;
        std::size_t next = 0;  // the first stop at or after pos
        while (pos < b.size && held == 0) {
            if (in_parser) {
                if (!feed_parser(guard.parser, r, b, pos, in_parser)) {
                    report.outcome = SPLIT_PARSE_FAILED;
                    report.error = csv_error(&guard.parser);
                    report.records = r.records + report.direct_records;
                    return report;
                }
                next = first_stop_from(b, pos);
                continue;
            }
            // Empty lines and blanks between records give nothing.
            for (; pos < b.size && (is_blank(b.bytes[pos]) || is_line_end(b.bytes[pos])); ++pos)
                next += is_line_end(b.bytes[pos]);
            if (pos == b.size)
                break;
            std::size_t end = 0;
            switch (read_record(b, pos, next, fields, end)) {
            case reading::whole:
                for (std::size_t i = 0; i < fields.count; ++i) {
                    const field_span f = fields.spans[i];
                    unsigned char* const field = b.bytes + f.start;
                    const std::size_t length = f.length & ~DOUBLED_QUOTES;
                    on_field(field, (f.length & DOUBLED_QUOTES) != 0 ? collapse_quotes(field, length) : length, data);
                }
                on_record(b.bytes[end - 1], data);
                report.direct_records += 1;
                pos = end;
                break;
            case reading::needs_more:
                // A record that fills the whole block, or the input's last
                // one, is libcsv's; any other waits for the next block.
                if (!at_end && pos > 0) {
                    held = b.size - pos;
                    std::memmove(b.bytes, b.bytes + pos, held);
                } else {
                    in_parser = true;
                }
                break;
            case reading::not_plain:
                in_parser = true;
                break;
            }
        }
    }
    report.unclosed = !finish_parse(guard.parser, r);
    report.records = r.records + report.direct_records;
    return report;
}

bool split_has_sse2()
{
    return scan_has_sse2();
}
