#include "convert/field.h"

#include <algorithm>
#include <cstring>

#include "common/bits.h"
#include "common/common.h"
#include "common/rules.h"
#include "convert/messages.h"
#include "split/stretch.h"

// Field clean-up: each byte a rule acts on (common/rules.h) becomes what
// the rules say, and each change is reported.

namespace {

// A field's clean-up, one byte found by a scan after another, in order.
// Removed bytes are closed up as the walk goes: the bytes before kept are
// final, and next is the first not yet moved down to kept.
template <bool Removes> struct rule_walk {
    const clean_rules& rules;
    unsigned char* kept;
    unsigned char* next;
    unsigned char* const field_end;
    unsigned char* first = nullptr;  // where the field's first RULE_FIRST_ONLY byte comes to lie
    std::size_t line_feeds = 0;

    rule_walk(unsigned char* field, std::size_t length)
        : rules(run_clean_rules())
        , kept(field)
        , next(field)
        , field_end(field + length)
    {
    }

    // The rules, applied to the byte at at: the one place they are.
    [[gnu::always_inline]] void apply(unsigned char* at)
    {
        const unsigned char action = rules.action[*at];
        if ((action & RULE_FIRST_ONLY) != 0) [[unlikely]] {
            // Made a space once the message has shown the field as it was.
            if (first == nullptr)
                first = at - (next - kept);
            return;
        }
        line_feeds += (action & RULE_LINE_FEED) != 0;
        if constexpr (Removes) {
            if ((action & RULE_REMOVE) != 0) {
                remove(at);
                return;
            }
        }
        if ((action & RULE_SPACE) != 0)
            *at = ' ';
    }

    void remove(unsigned char* at)
    {
        const auto run = static_cast<std::size_t>(at - next);
        if (run == 0) {  // the second of two together, as CR LF: nothing between them to move
            next = at + 1;
            return;
        }
        constexpr std::ptrdiff_t BLIND = 32;
        if (run <= BLIND && next - kept >= BLIND && field_end - next >= BLIND) {
            // Where many are removed, runs between them are short, and 32
            // bytes moved whatever the run's length spare a branch on it:
            // with 32 removed already, the bytes past the run that the move
            // overwrites are ones moved down before, never one still to read.
            unsigned char moved[BLIND];
            std::memcpy(moved, next, BLIND);
            std::memcpy(kept, moved, BLIND);
        } else if (kept != next) {  // before the first, the bytes are where they belong
            move_bytes(kept, next, run);
        }
        kept += run;
        next = at + 1;
    }

    // The walk is over: the rest moved down, the line feeds reported.
    // Returns the field's new end.
    unsigned char* end()
    {
        if (next != kept)
            move_bytes(kept, next, static_cast<std::size_t>(field_end - next));
        report_line_feeds_changed(line_feeds);
        return field_end - (next - kept);
    }
};

// f.template operator()<Removes>(), with whether the run's rules take any
// byte out made a constant: a walk that takes none out moves nothing.
template <typename F> auto with_removal(F f)
{
    return run_clean_rules().removes ? f.template operator()<true>() : f.template operator()<false>();
}

// The most bytes scanned at once, so that the offsets found fit a fixed
// buffer whatever the field's size.
constexpr std::size_t SCAN_PIECE = 4096;

// Cleans the field where the splitter has found its bytes to clean: marks
// are offsets from base, in order, inside the field. Sets first to the
// byte a RULE_FIRST_ONLY rule is still to change, or null. Returns the new
// length.
std::size_t clean_marked(unsigned char* field, std::size_t length, unsigned char* base,
    std::span<const std::uint32_t> marks, unsigned char*& first)
{
    return with_removal([&]<bool Removes>() {
        rule_walk<Removes> walk(field, length);
        for (const std::uint32_t mark : marks)
            walk.apply(base + mark);
        first = walk.first;
        return static_cast<std::size_t>(walk.end() - field);
    });
}

// The same where a scan finds the bytes to clean; first_done says the
// field's first RULE_FIRST_ONLY byte was changed already, in an earlier
// piece.
[[gnu::noinline]] std::size_t clean_scanned(
    unsigned char* field, std::size_t length, bool first_done, unsigned char*& first)
{
    return with_removal([&]<bool Removes>() {
        rule_walk<Removes> walk(field, length);
        std::uint32_t found[SCAN_PIECE + 64];
        // Once the first is found, the others of its kind stay as they are:
        // no need to look for them.
        unsigned looked_for = walk.rules.looked_for & (first_done ? ~walk.rules.first_only : ~0u);
        for (std::size_t at = 0; at < length && looked_for != 0; at += SCAN_PIECE) {
            unsigned char* const piece = field + at;
            const std::size_t n
                = run_kernels.find_rule_bytes(piece, std::min(SCAN_PIECE, length - at), looked_for, found);
            for (std::size_t i = 0; i < n; ++i)
                walk.apply(piece + found[i]);
            if (walk.first != nullptr)
                looked_for &= ~walk.rules.first_only;
        }
        first = walk.first;
        return static_cast<std::size_t>(walk.end() - field);
    });
}

// The first byte of the field a RULE_FIRST_ONLY rule acts on, or null.
unsigned char* first_of_its_kind(unsigned char* field, std::size_t length)
{
    const clean_rules& rules = run_clean_rules();
    for (std::size_t i = 0; i < length; ++i) {
        if ((rules.action[field[i]] & RULE_FIRST_ONLY) != 0)
            return field + i;
    }
    return nullptr;
}

// The message that shows the field as it was, every byte of it, zero
// bytes included; then the byte at first made a space.
void replace_first(unsigned char* field, std::size_t length, unsigned char* first)
{
    report_pipe(field, length);
    *first = ' ';
}

}  // namespace

namespace {

constexpr std::size_t SHORT_FIELD = 16;

// How a field's bytes come: as libcsv delivers them; as a quoted field
// stands between its quotes in the input, each quote still doubled; or as
// an unquoted field, which holds no quote, stands.
enum class field_form : unsigned char { delivered, as_quoted, unquoted };

intermediate_writer& writer_of(void* data)
{
    return *static_cast<intermediate_writer*>(data);
}

// A field begins: its number, and whether a separator goes before it (not
// after, so nothing is taken back at the record's end).
bool begin_field()
{
    run_counters.field_number += 1;
    return run_counters.field_number > 1;
}

// So many records are done: each thousandth shows the progress line.
void count_records(std::int64_t records)
{
    const std::int64_t done = run_counters.records_done + records;
    for (std::int64_t shown = (run_counters.records_done / 1000 + 1) * 1000; shown <= done; shown += 1000)
        report_progress(shown);
    run_counters.records_done = done;
}

void end_record(output_buffer& out)
{
    out.put('\r');
    out.put('\n');
    count_records(1);
    run_counters.field_number = 0;
}

// Runs of up to 32 bytes, which fields are mostly made of, without a call.
// An empty field may come without a buffer.
void copy_field(unsigned char* to, const unsigned char* from, std::size_t n)
{
    move_bytes(to, from, n);
}

// A field that needs nothing but its quotes, put straight into the buffer
// after its separator, copied by copy(to, from, length); with Flush, the
// buffer written out first if it lacks the room. Without, the common path
// calls nothing and saves no registers for it.
template <auto Copy = copy_field, bool Flush = true>
[[gnu::always_inline]] inline bool put_as_it_stands(
    output_buffer& out, const unsigned char* field, std::size_t length, bool separator)
{
    if (length + 3 > OUTPUT_BUFFER_SIZE)
        return false;
    const std::span<unsigned char> room = Flush ? out.room(length + 3) : out.room_left();
    if (room.size() < length + 3)
        return false;
    unsigned char* o = room.data();
    *o = '|';
    o += separator;
    *o++ = '"';
    Copy(o, field, length);
    o[length] = '"';
    out.keep_up_to(o + length + 1);
    return true;
}

// Writes the field in its quotes after its separator: as it stands, or,
// as delivered, with each quote doubled.
void write_quoted(output_buffer& out, const unsigned char* field, std::size_t length, bool doubled, bool separator)
{
    if (!doubled && put_as_it_stands(out, field, length, separator))
        return;
    if (separator)
        out.put('|');
    out.put('"');
    if (doubled)
        out.put_doubled(field, length);
    else
        out.put(field, length);
    out.put('"');
}

// Where the splitter found a field's bytes to clean, for clean_marked; or,
// with no base, that it did not look.
struct splitter_marks {
    unsigned char* base = nullptr;
    std::span<const std::uint32_t> at;
};

// A field that may hold a quote, a '|' or a line break: cleaned, its
// changes reported, and written. Kept out of line, so that put_field's
// common case needs no registers saved.
[[gnu::noinline]] void put_cleaned(output_buffer& out, unsigned char* field, std::size_t length, field_form form,
    bool separator, const splitter_marks& marks = {})
{
    unsigned char* first = nullptr;
    length = marks.base != nullptr ? clean_marked(field, length, marks.base, marks.at, first)
                                   : clean_scanned(field, length, false, first);
    if (first != nullptr) {
        if (form == field_form::as_quoted) {
            // The message shows the field as delivered.
            length = collapse_quotes(field, length);
            first = first_of_its_kind(field, length);
            form = field_form::delivered;
        }
        replace_first(field, length, first);
    }
    write_quoted(out, field, length, form == field_form::delivered, separator);
}

// The one path of a field as delivered. Most need no clean-up and hold no
// quote to double: those are copied straight into the buffer after a
// single look, the short ones with a few moves.
inline void put_field(output_buffer& out, unsigned char* field, std::size_t length)
{
    const bool separator = begin_field();
    if (!run_kernels.field_holds(field, length, true, run_clean_rules().looked_for)
        && (length <= SHORT_FIELD ? put_as_it_stands<copy_short, false>(out, field, length, separator)
                                  : put_as_it_stands<copy_field, false>(out, field, length, separator)))
        return;
    put_cleaned(out, field, length, field_form::delivered, separator);
}

// The same path for a field the splitter has looked at already, which
// says where its bytes to clean are, if it holds any.
inline void put_marked_field(
    output_buffer& out, unsigned char* field, std::size_t length, field_form form, const splitter_marks& marks)
{
    const bool separator = begin_field();
    if (!marks.at.empty() || !put_as_it_stands(out, field, length, separator))
        put_cleaned(out, field, length, form, separator, marks);
}

// A long field's pieces take the same path, the field kept open between
// them. Its first '|', in whichever piece it lies, becomes a space, and
// where that space went is noted: the message, which shows the field as it
// was, can only be written once the field has ended, from what the file
// holds.
void open_field(intermediate_writer& w)
{
    if (w.field_open)
        return;
    if (begin_field())
        w.out.put('|');
    w.out.put('"');
    w.field_open = true;
    w.pipe_replaced = false;
    w.field_start = w.out.position();
    if (w.handoff != nullptr)
        tell_held_from(*w.handoff, w.field_start);
}

void put_piece(intermediate_writer& w, unsigned char* bytes, std::size_t length)
{
    open_field(w);
    unsigned char* first = nullptr;
    length = clean_scanned(bytes, length, w.pipe_replaced, first);
    if (first != nullptr && !w.pipe_replaced) {
        const auto before = static_cast<std::size_t>(first - bytes);
        w.out.put_doubled(bytes, before);
        w.pipe_at = w.out.position();
        w.out.put(' ');
        w.pipe_replaced = true;
        bytes += before + 1;
        length -= before + 1;
    }
    w.out.put_doubled(bytes, length);
}

void put_last_piece(intermediate_writer& w, unsigned char* bytes, std::size_t length)
{
    put_piece(w, bytes, length);
    const std::uint64_t end = w.out.position();
    w.out.put('"');
    w.field_open = false;
    if (w.pipe_replaced)
        show_field_read_back(w, end);
    if (w.handoff != nullptr)
        tell_held_from(*w.handoff, UINT64_MAX);
}

// A stretch's records as walk_stretch finds them: runs of fields that need
// nothing copied as they stand, their separators made '|', and the rest
// along the one path.
struct stretch_writer {
    output_buffer& out;
    unsigned char* bytes;
    const std::uint64_t* separators;

    void copy(std::size_t from, std::size_t to)
    {
        const std::size_t length = to - from;
        const std::span<unsigned char> room = out.room(length + 1);
        if (room.size() < length + 1)
            return;  // the failed write stops the pass
        unsigned char* o = room.data();
        *o = '|';
        o += run_counters.field_number > 0;
        if (length > 0)
            o = run_kernels.copy_record(o, bytes, from, to, separators);
        out.keep_up_to(o);
    }
    void copy_fields(std::size_t from, std::size_t to, std::size_t fields)
    {
        copy(from, to);
        run_counters.field_number += static_cast<std::int64_t>(fields);
    }
    void copy_through(std::size_t from, std::size_t to, std::size_t records)
    {
        copy(from, to);
        count_records(static_cast<std::int64_t>(records));
    }
    void field(std::size_t from, std::size_t to, std::span<const std::uint32_t> marks)
    {
        put_marked_field(out, bytes + from, to - from, field_form::unquoted, {bytes, marks});
    }
    void quoted_field(std::size_t from, std::size_t to, std::span<const std::uint32_t> marks)
    {
        put_marked_field(out, bytes + from, to - from, field_form::as_quoted, {bytes, marks});
    }
    void record_end(std::size_t) { end_record(out); }
};

}  // namespace

void on_field(void* bytes, std::size_t length, void* data)
{
    intermediate_writer& w = writer_of(data);
    if (w.field_open)
        put_last_piece(w, static_cast<unsigned char*>(bytes), length);
    else
        put_field(w.out, static_cast<unsigned char*>(bytes), length);
}

void on_record_end(int /*terminator*/, void* data)
{
    end_record(writer_of(data).out);
}

void on_field_piece(void* bytes, std::size_t length, int kind, void* data)
{
    intermediate_writer& w = writer_of(data);
    switch (kind) {
    case PIECE_SURE:
        put_piece(w, static_cast<unsigned char*>(bytes), length);
        break;
    case PIECE_PENDING:
        // A quote and blanks, which need no clean-up.
        open_field(w);
        begin_tentative(w);
        w.out.put_doubled(static_cast<const unsigned char*>(bytes), length);
        break;
    case PIECE_KEPT:
        keep_tentative(w);
        break;
    case PIECE_DROPPED:
        drop_tentative(w);
        break;
    }
}

std::size_t on_plain_stretch(const plain_stretch& s, void* data)
{
    stretch_writer writer {writer_of(data).out, s.bytes, s.separators};
    return walk_stretch(s, writer);
}
