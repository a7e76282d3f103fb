#include "events.h"

#include "split/stretch.h"

#include <csv.h>

#include <algorithm>
#include <vector>

namespace {

// Changes the bytes once noted, as the program's own callbacks may.
void scramble(void* bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        static_cast<unsigned char*>(bytes)[i] ^= 0x5A;
}

void note_field(void* bytes, std::size_t length, void* data)
{
    auto* e = static_cast<reading_events*>(data);
    e->longest = std::max(e->longest, length);
    if (length > 0)
        e->pieces.append(static_cast<const char*>(bytes), length);
    if (!e->pending.empty())
        e->text += "(pending bytes left over)";
    e->text += 'F';
    e->text += std::to_string(e->pieces.size());
    e->text += ':';
    e->text += e->pieces;
    e->pieces.clear();
    e->pending.clear();
    scramble(bytes, length);
}

void note_piece(void* bytes, std::size_t length, int kind, void* data)
{
    auto* e = static_cast<reading_events*>(data);
    e->longest = std::max(e->longest, length);
    const std::string_view piece(static_cast<const char*>(bytes), length);
    switch (kind) {
    case PIECE_SURE:
        if (!e->pending.empty())
            e->text += "(a sure piece while bytes are pending)";
        e->pieces += piece;
        break;
    case PIECE_PENDING:
        e->pending += piece;
        break;
    case PIECE_KEPT:
        e->pieces += e->pending;
        e->pending.clear();
        break;
    case PIECE_DROPPED:
        e->pending.clear();
        break;
    }
    scramble(bytes, length);
}

void note_record(int terminator, void* data)
{
    auto* e = static_cast<reading_events*>(data);
    e->text += 'R';
    e->text += std::to_string(terminator);
    e->records += 1;
}

bool is_blank_byte(unsigned char c)
{
    return c == ' ' || c == '\t';
}

bool is_line_end_byte(unsigned char c)
{
    return c == '\r' || c == '\n';
}

// Checks a stretch's lists: the bytes to clean (every '|', and the line
// ends inside quotes where asked for), the line ends and commas outside
// quotes, and the blanks next to a comma or line end outside quotes.
void check_lists(const plain_stretch& s, reading_events& e)
{
    const unsigned char* const b = s.bytes;
    const auto separator = [&s](std::size_t at) { return (s.separators[at / 64] >> (at % 64) & 1) != 0; };
    std::vector<std::uint32_t> to_clean, line_ends, loose;
    bool inside = false;
    for (std::size_t at = s.start; at < s.end; ++at) {
        inside ^= b[at] == '"';
        if (b[at] == '|' || (e.mark_line_breaks && inside && is_line_end_byte(b[at])))
            to_clean.push_back(static_cast<std::uint32_t>(at));
        if (!inside && is_line_end_byte(b[at]))
            line_ends.push_back(static_cast<std::uint32_t>(at));
        if (separator(at) != (!inside && b[at] == ','))
            e.text += "(a separator is wrong)";
        const auto stop = [&](std::size_t next) {
            return next >= s.start && next < s.end && (separator(next) || is_line_end_byte(b[next]));
        };
        if (is_blank_byte(b[at]) && !inside && (at == s.start || stop(at - 1) || stop(at + 1)))
            loose.push_back(static_cast<std::uint32_t>(at));
    }
    const auto same = [](const std::vector<std::uint32_t>& v, const std::uint32_t* list, std::size_t count) {
        return std::equal(v.begin(), v.end(), list, list + count);
    };
    if (!same(to_clean, s.to_clean, s.to_clean_count))
        e.text += "(the stretch's bytes to clean are wrong)";
    if (!same(line_ends, s.line_ends, s.line_end_count))
        e.text += "(the stretch's line ends are wrong)";
    if (!same(loose, s.loose_blanks, s.loose_blank_count))
        e.text += "(the stretch's blanks are wrong)";
}

// What walk_stretch tells, read back into fields as libcsv delivers them,
// each promise checked.
struct noting_reader {
    const plain_stretch& s;
    reading_events& e;
    std::size_t last_end = 0;

    void note_quoted(std::size_t from, std::size_t to)
    {
        std::size_t kept = from;
        for (std::size_t at = from; at < to; ++at) {
            s.bytes[kept++] = s.bytes[at];
            at += s.bytes[at] == '"';
        }
        note_field(s.bytes + from, kept - from, &e);
    }
    // A field of a copy: one that needs nothing.
    void note_copied(std::size_t first, std::size_t last)
    {
        const unsigned char* const b = s.bytes;
        for (std::size_t at = first; at < last; ++at) {
            if (b[at] == '|' || (e.mark_line_breaks && is_line_end_byte(b[at])))
                e.text += "(a copied field holds a byte to clean)";
        }
        if (first < last && b[first] == '"') {
            if (last - first < 2 || b[last - 1] != '"')
                e.text += "(a copied quoted field does not end in its quote)";
            note_quoted(first + 1, last - 1);
            return;
        }
        if (first < last && (is_blank_byte(b[first]) || is_blank_byte(b[last - 1])))
            e.text += "(a copied field has blanks to drop)";
        note_field(s.bytes + first, last - first, &e);
    }
    // Reads a copy back into fields, and the records it ends (each by CR
    // LF); returns the counts.
    void note_copy(std::size_t from, std::size_t to, std::size_t& fields, std::size_t& records)
    {
        const unsigned char* const b = s.bytes;
        fields = records = 0;
        bool inside = false;
        std::size_t start = from;
        for (std::size_t at = from; at <= to; ++at) {
            const bool end = at == to;
            inside ^= !end && b[at] == '"';
            if (!end && (inside || (b[at] != ',' && !is_line_end_byte(b[at]))))
                continue;
            note_copied(start, at);
            ++fields;
            if (!end && is_line_end_byte(b[at])) {
                if (b[at] != '\r' || b[at + 1] != '\n')
                    e.text += "(a copied record does not end in CR LF)";
                note_record(b[at], &e);
                ++records;
                fields = 0;
                ++at;
            }
            start = at + 1;
        }
    }
    void copy_fields(std::size_t from, std::size_t to, std::size_t fields)
    {
        std::size_t found = 0, records = 0;
        note_copy(from, to, found, records);
        if (found != fields || records != 0)
            e.text += "(a copy of fields holds other than it says)";
    }
    void copy_through(std::size_t from, std::size_t to, std::size_t records)
    {
        std::size_t fields = 0, found = 0;
        note_copy(from, to, fields, found);
        if (found != records || !is_line_end_byte(s.bytes[to]))
            e.text += "(a copy through a record's end holds other than it says)";
    }
    // The marks a field comes with are just its bytes to clean.
    void check_marks(std::size_t from, std::size_t to, std::span<const std::uint32_t> marks)
    {
        std::vector<std::uint32_t> found;
        for (std::size_t at = from; at < to; ++at) {
            if (s.bytes[at] == '|' || (e.mark_line_breaks && is_line_end_byte(s.bytes[at])))
                found.push_back(static_cast<std::uint32_t>(at));
        }
        if (!std::equal(found.begin(), found.end(), marks.begin(), marks.end()))
            e.text += "(a field's bytes to clean are wrong)";
    }
    void field(std::size_t from, std::size_t to, std::span<const std::uint32_t> marks)
    {
        check_marks(from, to, marks);
        note_field(s.bytes + from, to - from, &e);
    }
    void quoted_field(std::size_t from, std::size_t to, std::span<const std::uint32_t> marks)
    {
        check_marks(from, to, marks);
        if (marks.empty())
            e.text += "(a quoted field handed on alone has no byte to clean)";
        note_quoted(from, to);
    }
    void record_end(std::size_t at)
    {
        note_record(s.bytes[at], &e);
        last_end = at;
    }
};

std::size_t note_stretch(const plain_stretch& s, void* data)
{
    auto& e = *static_cast<reading_events*>(data);
    check_lists(s, e);
    noting_reader reader {s, e};
    const std::size_t records = walk_stretch(s, reader);
    for (std::size_t at = records > 0 ? reader.last_end + 1 : s.start; at < s.end; ++at) {
        if (!is_line_end_byte(s.bytes[at]) && !is_blank_byte(s.bytes[at]))
            e.text += "(the stretch does not end where its last record does)";
    }
    return records;
}

struct random_sizes {
    std::uint32_t state;
    std::size_t most;
    std::size_t next()
    {
        state = state * 1664525u + 1013904223u;
        return 1 + (state >> 8) % most;
    }
};

struct memory_source {
    std::string_view rest;
    random_sizes sizes;
};

std::ptrdiff_t read_memory(void* data, unsigned char* into, std::size_t room)
{
    auto* source = static_cast<memory_source*>(data);
    const std::size_t n = std::min({source->sizes.next(), room, source->rest.size()});
    std::copy_n(source->rest.begin(), n, into);
    source->rest.remove_prefix(n);
    return static_cast<std::ptrdiff_t>(n);
}

}  // namespace

reading_events libcsv_events(std::string_view csv, std::size_t most_piece, std::uint32_t seed)
{
    reading_events e;
    random_sizes sizes {seed, most_piece};
    csv_parser parser;
    csv_init(&parser, 0);
    for (std::size_t at = 0; at < csv.size();) {
        const std::size_t piece = most_piece == 0 ? csv.size() : std::min(sizes.next(), csv.size() - at);
        csv_parse(&parser, csv.data() + at, piece, note_field, note_record, &e);
        at += piece;
    }
    csv_set_opts(&parser, CSV_STRICT | CSV_STRICT_FINI);
    e.unclosed = csv_fini(&parser, note_field, note_record, &e) != 0;
    csv_set_opts(&parser, 0);
    if (e.unclosed)
        csv_fini(&parser, note_field, note_record, &e);
    csv_free(&parser);
    return e;
}

reading_events split_events(
    std::string_view csv, const split_settings& settings, std::size_t most_read, std::uint32_t seed, bool stretches)
{
    reading_events e;
    e.mark_line_breaks = settings.mark_line_breaks;
    memory_source source {csv, {seed, most_read}};
    e.report = split_input(
        read_memory, &source, {note_field, note_piece, note_record, &e, stretches ? note_stretch : nullptr}, settings);
    e.unclosed = e.report.unclosed;
    return e;
}
