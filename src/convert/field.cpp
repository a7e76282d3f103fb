#include "convert/field.h"

#include <cstring>

#include "common/bits.h"
#include "common/common.h"
#include "convert/messages.h"
#include "split/stretch.h"

// Field clean-up: line breaks made spaces or removed, and the first '|'
// replaced, each change reported.

std::size_t clean_line_breaks(unsigned char* bytes, std::size_t length, unsigned char*& pipe)
{
    const int mode = run_options.line_break_mode;
    if (mode == LINE_BREAKS_TO_SPACE) {
        report_line_feeds_changed(run_kernels.line_breaks_to_spaces(bytes, length, pipe));
    } else if (mode == LINE_BREAKS_REMOVE) {
        report_line_feeds_changed(run_kernels.remove_line_breaks(bytes, length, pipe));
    } else {
        const unsigned char* const found = find_byte(bytes, bytes + length, '|');
        pipe = found == bytes + length ? nullptr : bytes + (found - bytes);
    }
    return length;
}

namespace {

// clean_line_breaks where the splitter has found the bytes to look at
// already: each '|' and, where the option asks, each line break, at marks
// (offsets from base, in order, inside bytes). Only they are looked at.
std::size_t clean_marked(unsigned char* bytes, std::size_t length, unsigned char* base,
    std::span<const std::uint32_t> marks, unsigned char*& pipe)
{
    pipe = nullptr;
    const bool remove = run_options.line_break_mode == LINE_BREAKS_REMOVE;
    std::size_t line_feeds = 0;
    unsigned char* kept = bytes;  // with line breaks removed: the bytes before kept are final,
    unsigned char* next = bytes;  // and next is the first not yet moved there
    for (const std::uint32_t mark : marks) {
        unsigned char* const at = base + mark;
        if (*at == '|') {
            if (pipe == nullptr)
                pipe = at - (next - kept);  // where it comes to lie
            continue;
        }
        line_feeds += *at == '\n';
        if (!remove) {
            *at = ' ';
            continue;
        }
        if (kept != next)  // before the first, the bytes are where they belong
            move_bytes(kept, next, static_cast<std::size_t>(at - next));
        kept += at - next;
        next = at + 1;
    }
    if (next != kept) {
        move_bytes(kept, next, static_cast<std::size_t>(bytes + length - next));
        length -= static_cast<std::size_t>(next - kept);
    }
    report_line_feeds_changed(line_feeds);
    return length;
}

}  // namespace

std::size_t clean_piece(unsigned char* bytes, std::size_t length, unsigned char*& pipe)
{
    pipe = nullptr;
    // An empty field may come with no buffer at all.
    if (length == 0)
        return 0;
    // Most fields need nothing; say so after a look or two.
    if (!run_kernels.field_holds(bytes, length, false, run_options.line_break_mode != LINE_BREAKS_KEEP))
        return length;
    return clean_line_breaks(bytes, length, pipe);
}

void replace_pipe(unsigned char* bytes, std::size_t length, unsigned char* pipe)
{
    // Only the first '|' is replaced; the message shows the field as it was,
    // every byte of it, zero bytes included.
    report_pipe(bytes, length);
    *pipe = ' ';
}

std::size_t clean_field(unsigned char* bytes, std::size_t length)
{
    unsigned char* pipe;
    length = clean_piece(bytes, length, pipe);
    if (pipe != nullptr)
        replace_pipe(bytes, length, pipe);
    return length;
}

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
struct found_marks {
    unsigned char* base = nullptr;
    std::span<const std::uint32_t> at;
};

// A field that may hold a quote, a '|' or a line break: cleaned, its
// changes reported, and written. Kept out of line, so that put_field's
// common case needs no registers saved.
[[gnu::noinline]] void put_cleaned(output_buffer& out, unsigned char* field, std::size_t length, field_form form,
    bool separator, const found_marks& marks = {})
{
    unsigned char* pipe = nullptr;
    if (marks.base != nullptr)
        length = clean_marked(field, length, marks.base, marks.at, pipe);
    else
        length = clean_line_breaks(field, length, pipe);
    if (pipe != nullptr) {
        if (form == field_form::as_quoted) {
            // The message shows the field as delivered.
            length = collapse_quotes(field, length);
            pipe = field + (find_byte(field, field + length, '|') - field);
            form = field_form::delivered;
        }
        replace_pipe(field, length, pipe);
    }
    write_quoted(out, field, length, form == field_form::delivered, separator);
}

// The one path of a field as delivered. Most need no clean-up and hold no
// quote to double: those are copied straight into the buffer after a
// single look, the short ones with a few moves.
inline void put_field(output_buffer& out, unsigned char* field, std::size_t length)
{
    const bool separator = begin_field();
    const bool line_breaks = run_options.line_break_mode != LINE_BREAKS_KEEP;
    if (!run_kernels.field_holds(field, length, true, line_breaks)
        && (length <= SHORT_FIELD ? put_as_it_stands<copy_short, false>(out, field, length, separator)
                                  : put_as_it_stands<copy_field, false>(out, field, length, separator)))
        return;
    put_cleaned(out, field, length, field_form::delivered, separator);
}

// The same path for a field the splitter has looked at already, which
// says where its bytes to clean are, if it holds any.
inline void put_looked_at(
    output_buffer& out, unsigned char* field, std::size_t length, field_form form, const found_marks& marks)
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
    unsigned char* pipe = nullptr;
    length = clean_piece(bytes, length, pipe);
    if (pipe != nullptr && !w.pipe_replaced) {
        const auto before = static_cast<std::size_t>(pipe - bytes);
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
        put_looked_at(out, bytes + from, to - from, field_form::unquoted, {bytes, marks});
    }
    void quoted_field(std::size_t from, std::size_t to, std::span<const std::uint32_t> marks)
    {
        put_looked_at(out, bytes + from, to - from, field_form::as_quoted, {bytes, marks});
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
        w.out.begin_tentative();
        w.out.put_doubled(static_cast<const unsigned char*>(bytes), length);
        break;
    case PIECE_KEPT:
        w.out.keep_tentative();
        break;
    case PIECE_DROPPED:
        w.out.drop_tentative();
        break;
    }
}

std::size_t on_plain_stretch(const plain_stretch& s, void* data)
{
    stretch_writer writer {writer_of(data).out, s.bytes, s.separators};
    return walk_stretch(s, writer);
}
