#include "events.h"

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

// Reads a stretch back into fields as its description says they stand,
// and checks its lists: the marks (every '|', and the line ends inside
// quotes where asked for) and the blanks next to a comma or line end
// outside quotes.
std::size_t note_stretch(const plain_stretch& s, void* data)
{
    auto* e = static_cast<reading_events*>(data);
    unsigned char* const b = s.bytes;
    const auto separator = [&s](std::size_t at) { return (s.separators[at / 64] >> (at % 64) & 1) != 0; };
    std::vector<std::uint32_t> marks, line_ends, uneven;
    bool inside = false;
    for (std::size_t at = s.start; at < s.end; ++at) {
        inside ^= b[at] == '"';
        if (b[at] == '|' || (e->mark_line_breaks && inside && is_line_end_byte(b[at])))
            marks.push_back(static_cast<std::uint32_t>(at));
        if (!inside && is_line_end_byte(b[at]))
            line_ends.push_back(static_cast<std::uint32_t>(at));
        if (separator(at) != (!inside && b[at] == ','))
            e->text += "(a separator is wrong)";
        const auto stop = [&](std::size_t next) {
            return next >= s.start && next < s.end && (separator(next) || is_line_end_byte(b[next]));
        };
        if (is_blank_byte(b[at]) && !inside && (at == s.start || stop(at - 1) || stop(at + 1)))
            uneven.push_back(static_cast<std::uint32_t>(at));
    }
    const auto same = [](const std::vector<std::uint32_t>& v, const std::uint32_t* list, std::size_t count) {
        return std::equal(v.begin(), v.end(), list, list + count);
    };
    if (!same(marks, s.marked, s.marked_count))
        e->text += "(the stretch's marks are wrong)";
    if (!same(line_ends, s.line_ends, s.line_end_count))
        e->text += "(the stretch's line ends are wrong)";
    if (!same(uneven, s.uneven, s.uneven_count))
        e->text += "(the stretch's blanks are wrong)";
    std::size_t pos = s.start, records = 0;
    while (pos < s.end) {
        for (; pos < s.end && (is_blank_byte(b[pos]) || is_line_end_byte(b[pos])); ++pos) { }
        if (pos == s.end)
            break;
        for (;;) {
            std::size_t end = pos;
            bool in_field = false;
            for (; in_field || !(separator(end) || is_line_end_byte(b[end])); ++end)
                in_field ^= b[end] == '"';
            std::size_t first = pos, last = end;
            if (b[pos] == '"') {
                if (end - pos < 2 || b[end - 1] != '"')
                    e->text += "(a quoted field does not end in its quote)";
                ++first;
                --last;
                std::size_t kept = first;
                for (std::size_t at = first; at < last; ++at) {
                    b[kept++] = b[at];
                    at += b[at] == '"';
                }
                last = kept;
            } else {
                while (first < last && is_blank_byte(b[first]))
                    ++first;
                while (last > first && is_blank_byte(b[last - 1]))
                    --last;
            }
            note_field(b + first, last - first, e);
            pos = end + 1;
            if (is_line_end_byte(b[end])) {
                note_record(b[end], e);
                ++records;
                break;
            }
        }
    }
    if (pos != s.end)
        e->text += "(the stretch does not end where its last record does)";
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
