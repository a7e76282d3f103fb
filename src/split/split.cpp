#include "split/split.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include <csv.h>

#include "common/bits.h"
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
struct libcsv_callbacks {
    deliver_to to;
    std::int64_t records;
};

void field_from_libcsv(void* bytes, std::size_t length, void* data)
{
    auto* r = static_cast<libcsv_callbacks*>(data);
    r->to.on_field(bytes, length, r->to.data);
}

void record_from_libcsv(int terminator, void* data)
{
    auto* r = static_cast<libcsv_callbacks*>(data);
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

// libcsv grows a field's buffer by a fixed step, 128 bytes unless told:
// up to the field limit that is thousands of reallocations, each a copy
// where the allocator cannot grow in place. 64 KiB steps make it a few.
constexpr std::size_t LIBCSV_GROWTH = 64 * 1024;

struct parser_guard {
    csv_parser parser;
    parser_guard()
    {
        csv_init(&parser, 0);
        csv_set_blk_size(&parser, LIBCSV_GROWTH);
    }
    ~parser_guard() { csv_free(&parser); }
    parser_guard(const parser_guard&) = delete;
    parser_guard& operator=(const parser_guard&) = delete;
};

// One split's state: the block and what reads it.
struct splitter {
    split_read read;
    void* source;
    const deliver_to& to;
    const split_settings& settings;
    std::size_t field_limit;  // libcsv holds no more of a field than this
    std::size_t capacity;
    // Zeroed once, so the scan never reads an unset byte past the data.
    std::unique_ptr<unsigned char[]> bytes = std::make_unique<unsigned char[]>(capacity + PADDING);
    std::unique_ptr<std::uint64_t[]> masks = std::make_unique<std::uint64_t[]>(5 * (capacity / 64 + 2));
    block b;
    field_ends found {capacity};
    span_list fields;
    parser_guard guard;
    libcsv_callbacks r {to, 0};
    long_field long_one;
    split_report report {};
    bool in_parser = false;  // libcsv is inside a record and keeps the input
    bool at_end = false;
    std::size_t held = 0;  // the start of a record, kept from the last block
    std::size_t look = LONGEST_LOOK;

    splitter(split_read read_with, void* from, const deliver_to& deliver, const split_settings& with, std::size_t limit)
        : read(read_with)
        , source(from)
        , to(deliver)
        , settings(with)
        , field_limit(limit)
        , capacity(std::clamp(with.block_size, SPLIT_SMALLEST_BLOCK, SPLIT_LARGEST_BLOCK))
    {
        const std::size_t words = capacity / 64 + 2;
        std::uint64_t* const m = masks.get();
        b = {bytes.get(), 0, m, m + words, m + 2 * words, m + 3 * words, m + 4 * words};
    }

    std::int64_t records() const { return r.records + report.direct_records; }
};

// Reads the block full after what was held from the last; false if the
// read callback stopped the split.
bool fill_block(splitter& s)
{
    s.b.size = s.held;
    while (s.b.size < s.capacity) {
        const std::ptrdiff_t got = s.read(s.source, s.b.bytes + s.b.size, s.capacity - s.b.size);
        if (got < 0)
            return false;
        if (got == 0) {
            s.at_end = true;
            break;
        }
        s.b.size += static_cast<std::size_t>(got);
    }
    scan_block(s.b);
    s.held = 0;
    return true;
}

// Reads the long field on; libcsv takes its record on after it.
std::size_t read_on_long(splitter& s, std::size_t pos)
{
    long_end how = long_end::block_end;
    pos = read_long_field(s.b, pos, s.long_one, s.to, how);
    if (how == long_end::record_end) {
        s.r.records += 1;
        s.in_parser = false;
    } else if (how == long_end::field_end) {
        csv_parse(&s.guard.parser, ",", 1, nullptr, nullptr, nullptr);  // between fields
    }
    return pos;
}

// Hands libcsv the block from pos a line at a time, until it ends a record
// (only a line end can), holds more than the limit of a field, which the
// splitter then takes over, or the block ends. False on a parse error.
bool feed_parser(splitter& s, std::size_t& pos)
{
    csv_parser& parser = s.guard.parser;
    const block& b = s.b;
    while (pos < b.size) {
        std::size_t end = pos;
        while (end < b.size && !is_line_end(b.bytes[end]))
            ++end;
        end = std::min(end + 1, b.size);
        const std::int64_t before = s.r.records;
        if (csv_parse(&parser, b.bytes + pos, end - pos, field_from_libcsv, record_from_libcsv, &s.r) < end - pos)
            return false;
        pos = end;
        if (s.r.records != before) {
            s.in_parser = false;
            return true;
        }
        if (parser.entry_pos > s.field_limit
            && (parser.pstate == FIELD_BEGUN || parser.pstate == FIELD_MIGHT_HAVE_ENDED)) {
            take_over(parser, s.long_one, s.to);
            break;
        }
    }
    s.in_parser = true;
    return true;
}

// Delivers the careful reading's record at pos, if it is plain and whole;
// otherwise holds it for the next block or leaves it to libcsv.
std::size_t read_one_record(splitter& s, std::size_t pos)
{
    std::size_t end = 0;
    switch (read_record(s.b, pos, s.fields, end)) {
    case reading::whole:
        for (std::size_t i = 0; i < s.fields.count; ++i) {
            const field_span f = s.fields.spans[i];
            unsigned char* const field = s.b.bytes + f.start;
            const std::size_t length = f.length & ~DOUBLED_QUOTES;
            s.to.on_field(field, (f.length & DOUBLED_QUOTES) != 0 ? collapse_quotes(field, length) : length, s.to.data);
        }
        s.to.on_record(s.b.bytes[end - 1], s.to.data);
        s.report.direct_records += 1;
        s.look = SHORTEST_LOOK;
        return end;
    case reading::needs_more:
        // A record that fills the whole block, or the input's last one, is
        // libcsv's; any other waits for the next block.
        if (!s.at_end && pos > 0) {
            s.held = s.b.size - pos;
            std::memmove(s.b.bytes, s.b.bytes + pos, s.held);
        } else {
            s.in_parser = true;
        }
        return pos;
    case reading::not_plain:
        s.in_parser = true;
        s.look = SHORTEST_LOOK;
        return pos;
    }
    return pos;
}

// The splitter's own reading from pos, between records: as many plain
// records as the fast reading takes, then one the careful way.
std::size_t read_plain(splitter& s, std::size_t pos)
{
    const block& b = s.b;
    const std::size_t read_to
        = read_plain_records(b, pos, s.look, s.found, s.to, s.settings.mark_line_breaks, s.report.direct_records);
    if (read_to > pos && read_to < b.size && pos / 64 * 64 + s.look < b.size) {
        // The look ended before the block did: look on from there.
        s.look = std::min(2 * s.look, LONGEST_LOOK);
        return read_to;
    }
    std::size_t line_ends = 0;
    pos = skip_between_records(b.bytes, read_to, line_ends);  // bytes[size] is 0: it stops there
    if (pos == b.size)
        return pos;
    return read_one_record(s, pos);
}

// Reads the block through, each part by the reader it needs. False on a
// parse error.
bool read_block(splitter& s)
{
    std::size_t pos = 0;
    while (pos < s.b.size && s.held == 0) {
        if (s.long_one.active) {
            pos = read_on_long(s, pos);
        } else if (s.in_parser) {
            if (!feed_parser(s, pos))
                return false;
        } else {
            pos = read_plain(s, pos);
        }
    }
    return true;
}

}  // namespace

split_report split_input(split_read read, void* source, const deliver_to& to, const split_settings& settings)
{
    static const bool libcsv_as_assumed = states_as_assumed();
    splitter s(
        read, source, to, settings, libcsv_as_assumed ? std::max<std::size_t>(settings.field_limit, 1) : SIZE_MAX);
    while (!s.at_end) {
        if (!fill_block(s)) {
            s.report.outcome = SPLIT_STOPPED;
            s.report.records = s.records();
            return s.report;
        }
        if (!read_block(s)) {
            s.report.outcome = SPLIT_PARSE_FAILED;
            s.report.error = csv_error(&s.guard.parser);
            s.report.records = s.records();
            return s.report;
        }
    }
    if (s.long_one.active) {
        s.report.unclosed = finish_long_field(s.long_one, to);
        s.r.records += 1;
    } else {
        // With the strict end check on, libcsv refuses to finish inside a
        // quoted field; that is how such a field is told apart, before it
        // is delivered all the same.
        csv_parser& parser = s.guard.parser;
        csv_set_opts(&parser, CSV_STRICT | CSV_STRICT_FINI);
        s.report.unclosed = csv_fini(&parser, field_from_libcsv, record_from_libcsv, &s.r) != 0;
        csv_set_opts(&parser, 0);
        if (s.report.unclosed)
            csv_fini(&parser, field_from_libcsv, record_from_libcsv, &s.r);
    }
    s.report.records = s.records();
    return s.report;
}
