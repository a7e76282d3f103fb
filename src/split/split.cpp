#include "split/split.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include <csv.h>

#include "split/block.h"

namespace {

// The scan of the last word may read up to 63 bytes past the data.
constexpr std::size_t PADDING = 64;

// How far ahead the fast reading works out fields' ends at once. After a
// record it could not read, it looks a short way ahead first, so that files
// full of such records do not cost it a long look each time.
constexpr std::size_t LONGEST_LOOK = 16384;
constexpr std::size_t SHORTEST_LOOK = 256;

// The caller's callbacks, as libcsv calls them, and a count of the records
// libcsv has ended: a change in it says libcsv stands between records.
struct relay {
    deliver_to to;
    std::int64_t records;
};

void relay_field(void* bytes, std::size_t length, void* data)
{
    auto* r = static_cast<relay*>(data);
    r->to.on_field(bytes, length, r->to.data);
}

void relay_record(int terminator, void* data)
{
    auto* r = static_cast<relay*>(data);
    r->records += 1;
    r->to.on_record(terminator, r->to.data);
}

// libcsv's parser states as libcsv.c numbers them. csv.h declares the
// field but not its values, so states_as_assumed checks them once.
constexpr int ROW_NOT_BEGUN = 0;
constexpr int FIELD_NOT_BEGUN = 1;
constexpr int FIELD_BEGUN = 2;
constexpr int FIELD_MIGHT_HAVE_ENDED = 3;

// Whether libcsv stands where this file expects it after a short reading
// that passes through every state. Where it does not (another libcsv),
// long fields are left to libcsv whole, as before, rather than misread.
bool states_as_assumed()
{
    csv_parser p;
    csv_init(&p, 0);
    bool as_assumed = true;
    const auto after = [&](const char* text, int state, int quoted, std::size_t spaces, std::size_t held) {
        csv_parse(&p, text, std::strlen(text), nullptr, nullptr, nullptr);
        as_assumed = as_assumed && p.pstate == state && p.quoted == quoted && p.spaces == spaces && p.entry_pos == held;
    };
    after("", ROW_NOT_BEGUN, 0, 0, 0);
    after("a ", FIELD_BEGUN, 0, 1, 2);
    after(",\"b\" ", FIELD_MIGHT_HAVE_ENDED, 1, 1, 3);
    after("\"", FIELD_MIGHT_HAVE_ENDED, 1, 0, 4);
    after("c", FIELD_BEGUN, 1, 0, 5);
    after("\",", FIELD_NOT_BEGUN, 0, 0, 0);
    after("\n", ROW_NOT_BEGUN, 0, 0, 0);
    csv_fini(&p, nullptr, nullptr, nullptr);
    after(",", FIELD_NOT_BEGUN, 0, 0, 0);
    csv_free(&p);
    return as_assumed;
}

// Takes the field libcsv is in the middle of out of its hands: what it
// holds for certain goes on as a piece, what it may still take back as a
// pending one, and libcsv is left between records, as csv_fini leaves it,
// until the field has been read.
void take_over(csv_parser& p, long_field& f, const deliver_to& to)
{
    const bool after_quote = p.pstate == FIELD_MIGHT_HAVE_ENDED;
    const std::size_t undecided = after_quote ? p.spaces + 1 : p.quoted != 0 ? 0 : p.spaces;
    const std::size_t sure = p.entry_pos - undecided;
    if (sure > 0)
        to.on_piece(p.entry_buf, sure, PIECE_SURE, to.data);
    f.active = true;
    f.state = after_quote ? long_state::after_quote : p.quoted != 0 ? long_state::quoted : long_state::unquoted;
    f.blanks_after_quote = after_quote && p.spaces > 0;
    f.tail_open = f.tail_handed_on = undecided > 0;
    if (undecided > 0)
        to.on_piece(p.entry_buf + sure, undecided, PIECE_PENDING, to.data);
    csv_fini(&p, nullptr, nullptr, nullptr);
}

struct parser_guard {
    csv_parser parser;
    parser_guard() { csv_init(&parser, 0); }
    ~parser_guard() { csv_free(&parser); }
    parser_guard(const parser_guard&) = delete;
    parser_guard& operator=(const parser_guard&) = delete;
};

// Hands libcsv the block from pos a line at a time, until it ends a record
// (only a line end can), holds more than limit bytes of a field, which f
// then takes over, or the block ends. False on a parse error.
bool feed_parser(
    csv_parser& parser, relay& r, const block& b, std::size_t& pos, bool& in_parser, long_field& f, std::size_t limit)
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
        if (parser.entry_pos > limit && (parser.pstate == FIELD_BEGUN || parser.pstate == FIELD_MIGHT_HAVE_ENDED)) {
            take_over(parser, f, r.to);
            break;
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

split_report split_input(split_read read, void* source, const deliver_to& to, const split_settings& settings)
{
    static const bool libcsv_as_assumed = states_as_assumed();
    const std::size_t limit = libcsv_as_assumed ? std::max<std::size_t>(settings.field_limit, 1) : SIZE_MAX;
    split_report report {};
    const std::size_t capacity = std::clamp(settings.block_size, SPLIT_SMALLEST_BLOCK, SPLIT_LARGEST_BLOCK);
    const std::size_t words = capacity / 64 + 2;
    // Zeroed once, so the scan never reads an unset byte past the data.
    const auto bytes = std::make_unique<unsigned char[]>(capacity + PADDING);
    const auto masks = std::make_unique<std::uint64_t[]>(5 * words);
    block b {bytes.get(), 0, masks.get(), masks.get() + words, masks.get() + 2 * words, masks.get() + 3 * words,
        masks.get() + 4 * words};
    field_ends found(capacity);
    span_list fields;
    parser_guard guard;
    relay r {to, 0};
    long_field long_one;

    bool in_parser = false;  // libcsv is inside a record and keeps the input
    bool at_end = false;
    std::size_t held = 0;  // the start of a record, kept from the last block
    std::size_t look = LONGEST_LOOK;
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
        scan_block(b);
        held = 0;
        std::size_t pos = 0;
        while (pos < b.size && held == 0) {
            if (long_one.active) {
                long_end how = long_end::block_end;
                pos = read_long_field(b, pos, long_one, to, how);
                if (how == long_end::record_end) {
                    r.records += 1;
                    in_parser = false;
                } else if (how == long_end::field_end) {
                    // libcsv takes the record on, between fields.
                    csv_parse(&guard.parser, ",", 1, nullptr, nullptr, nullptr);
                }
                continue;
            }
            if (in_parser) {
                if (!feed_parser(guard.parser, r, b, pos, in_parser, long_one, limit)) {
                    report.outcome = SPLIT_PARSE_FAILED;
                    report.error = csv_error(&guard.parser);
                    report.records = r.records + report.direct_records;
                    return report;
                }
                continue;
            }
            const std::size_t read_to
                = read_plain_records(b, pos, look, found, to, settings.mark_line_breaks, report.direct_records);
            if (read_to > pos && read_to < b.size && pos / 64 * 64 + look < b.size) {
                // The look ended before the block did: look on from there.
                pos = read_to;
                look = std::min(2 * look, LONGEST_LOOK);
                continue;
            }
            pos = read_to;
            // Empty lines and blanks between records give nothing.
            while (pos < b.size && (is_blank(b.bytes[pos]) || is_line_end(b.bytes[pos])))
                ++pos;
            if (pos == b.size)
                break;
            std::size_t end = 0;
            switch (read_record(b, pos, fields, end)) {
            case reading::whole:
                for (std::size_t i = 0; i < fields.count; ++i) {
                    const field_span f = fields.spans[i];
                    unsigned char* const field = b.bytes + f.start;
                    const std::size_t length = f.length & ~DOUBLED_QUOTES;
                    to.on_field(
                        field, (f.length & DOUBLED_QUOTES) != 0 ? collapse_quotes(field, length) : length, to.data);
                }
                to.on_record(b.bytes[end - 1], to.data);
                report.direct_records += 1;
                pos = end;
                look = SHORTEST_LOOK;
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
                look = SHORTEST_LOOK;
                break;
            }
        }
    }
    if (long_one.active) {
        report.unclosed = finish_long_field(long_one, to);
        r.records += 1;
    } else {
        report.unclosed = !finish_parse(guard.parser, r);
    }
    report.records = r.records + report.direct_records;
    return report;
}
