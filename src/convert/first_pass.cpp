#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>

#include "common/bits.h"
#include "common/common.h"
#include "convert/convert.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t SHORT_FIELD = 16;

// A field that needs nothing but its quotes, written straight into the
// buffer, which has room for it: the separator where one is due, the quotes
// around the bytes, copied by copy(to, from, length).
template <typename Copy>
void put_as_it_stands(
    output_buffer* intermediate, const unsigned char* field, std::size_t length, bool separator, Copy copy)
{
    unsigned char* out = intermediate->bytes.get() + intermediate->used;
    *out = '|';
    out += separator;
    *out++ = '"';
    copy(out, field, length);
    out[length] = '"';
    intermediate->used = static_cast<std::size_t>(out + length + 1 - intermediate->bytes.get());
}

// Fields longer than SHORT_FIELD, and those that need clean-up or hold a
// quote. Kept out of line, so that on_field's common case needs no
// registers saved.
[[gnu::noinline]] void put_field_with_care(
    output_buffer* intermediate, unsigned char* field, std::size_t length, bool separator)
{
    const bool line_breaks = run_options.line_break_mode != LINE_BREAKS_KEEP;
    if (OUTPUT_BUFFER_SIZE - intermediate->used >= length + 3
        && !run_kernels.field_holds(field, length, true, line_breaks)) {
        put_as_it_stands(
            intermediate, field, length, separator, [](unsigned char* to, const unsigned char* from, std::size_t n) {
                if (n > 0)  // an empty field may come without a buffer
                    std::memcpy(to, from, n);
            });
        return;
    }
    length = clean_field(field, length);
    if (separator)
        intermediate->put('|');
    intermediate->put_quoted(field, length);
}

}  // namespace

void on_field(void* bytes, std::size_t length, void* data)
{
    auto* writer = static_cast<intermediate_writer*>(data);
    auto* field = static_cast<unsigned char*>(bytes);
    if (writer->field_open) {
        end_field_in_pieces(*writer, field, length);
        return;
    }
    output_buffer* const intermediate = &writer->out;
    run_counters.field_number += 1;
    // The separator goes before a field rather than after it, so nothing
    // has to be taken back at the record's end.
    const bool separator = run_counters.field_number > 1;

    // Most fields are short, need no clean-up and hold no quote to double:
    // those are copied straight into the buffer after a single look.
    const bool line_breaks = run_options.line_break_mode != LINE_BREAKS_KEEP;
    if (length > SHORT_FIELD || OUTPUT_BUFFER_SIZE - intermediate->used < SHORT_FIELD + 3
        || run_kernels.field_holds(field, length, true, line_breaks)) {
        put_field_with_care(intermediate, field, length, separator);
        return;
    }
    put_as_it_stands(intermediate, field, length, separator, copy_short);
}

void on_record_end(int /*terminator*/, void* data)
{
    output_buffer& out = static_cast<intermediate_writer*>(data)->out;
    out.put('\r');
    out.put('\n');
    run_counters.records_done += 1;
    if (run_counters.records_done % 1000 == 0)
        report_progress(run_counters.records_done);
    run_counters.field_number = 0;
}

namespace {

// UTF-16 input on its way in: read in raw pieces, decoded into UTF-8, and
// handed to the splitter from there.
struct utf16_input {
    bool big_endian;
    std::size_t raw_size;  // room for what came with the mark, and more
    std::unique_ptr<unsigned char[]> raw = std::make_unique_for_overwrite<unsigned char[]>(raw_size);
    std::size_t raw_used = 0;  // undecoded bytes at raw's start: a unit or a pair cut off
    std::unique_ptr<unsigned char[]> text
        = std::make_unique_for_overwrite<unsigned char[]>(raw_size * 3 / 2 + UTF16_DECODE_SLACK);
    std::size_t text_start = 0;
    std::size_t text_end = 0;
    bool at_end = false;
};

// The input as the splitter reads it. A byte-order mark would make the
// first field unquoted; it is kept out of the splitter, and the output
// takes the encoding it tells.
struct input_source {
    int fd;
    const intermediate_writer* intermediate;
    intermediate_progress* progress;
    bool mark_checked;
    input_encoding encoding;
    std::unique_ptr<utf16_input> utf16;
    int read_error;  // errno of a failed read, 0 while none has failed
    bool invalid;  // the input is not the UTF-16 its mark says
};

// Fills into with UTF-8 decoded from the UTF-16 input.
std::ptrdiff_t read_utf16(input_source& in, unsigned char* into, std::size_t room)
{
    utf16_input& u = *in.utf16;
    while (u.text_start == u.text_end) {
        if (u.at_end)
            return 0;
        const std::ptrdiff_t got = read_some(in.fd, u.raw.get() + u.raw_used, u.raw_size - u.raw_used);
        if (got < 0)
            return -1;
        u.at_end = got == 0;
        u.raw_used += static_cast<std::size_t>(got);
        std::size_t consumed = 0;
        const std::ptrdiff_t decoded
            = run_kernels.utf16_to_utf8(u.raw.get(), u.raw_used, u.big_endian, u.text.get(), consumed);
        // A bad surrogate, or at the end an odd byte or a lone high one.
        if (decoded < 0 || (u.at_end && consumed != u.raw_used)) {
            in.invalid = true;
            errno = EILSEQ;
            return -1;
        }
        u.raw_used -= consumed;
        std::memmove(u.raw.get(), u.raw.get() + consumed, u.raw_used);
        u.text_start = 0;
        u.text_end = static_cast<std::size_t>(decoded);
    }
    const std::size_t n = std::min(room, u.text_end - u.text_start);
    std::memcpy(into, u.text.get() + u.text_start, n);
    u.text_start += n;
    return static_cast<std::ptrdiff_t>(n);
}

constexpr unsigned char UTF16_LE_MARK[] = {0xFF, 0xFE};
constexpr unsigned char UTF16_BE_MARK[] = {0xFE, 0xFF};

bool begins_with(const unsigned char* bytes, std::ptrdiff_t length, std::span<const unsigned char> mark)
{
    return length >= static_cast<std::ptrdiff_t>(mark.size()) && std::equal(mark.begin(), mark.end(), bytes);
}

// Reads the input's first bytes into into and looks for a mark there:
// returns the bytes that follow it.
std::ptrdiff_t read_start(input_source& in, unsigned char* into, std::size_t room)
{
    in.mark_checked = true;
    std::ptrdiff_t got = read_some(in.fd, into, room);
    // A mark is only known once three bytes have come, or all there are.
    while (got > 0 && static_cast<std::size_t>(got) < sizeof BYTE_ORDER_MARK) {
        const std::ptrdiff_t more = read_some(in.fd, into + got, room - static_cast<std::size_t>(got));
        if (more <= 0) {
            if (more < 0)
                got = -1;
            break;
        }
        got += more;
    }
    std::size_t mark = 0;
    if (begins_with(into, got, BYTE_ORDER_MARK)) {
        in.encoding = ENCODING_UTF8_MARK;
        mark = sizeof BYTE_ORDER_MARK;
    } else if (begins_with(into, got, UTF16_LE_MARK)) {
        in.encoding = ENCODING_UTF16_LE;
        mark = sizeof UTF16_LE_MARK;
    } else if (begins_with(into, got, UTF16_BE_MARK)) {
        in.encoding = ENCODING_UTF16_BE;
        mark = sizeof UTF16_BE_MARK;
    }
    if (in.progress != nullptr) {
        const std::lock_guard<std::mutex> hold(in.progress->lock);
        in.progress->encoding = in.encoding;
    }
    if (got <= 0 || mark == 0)
        return got;
    got -= static_cast<std::ptrdiff_t>(mark);
    if (is_utf16(in.encoding)) {
        // What came after the mark is decoded like the rest.
        constexpr std::size_t RAW_SIZE = 65536;
        in.utf16.reset(new utf16_input {in.encoding == ENCODING_UTF16_BE, RAW_SIZE + static_cast<std::size_t>(got)});
        std::memcpy(in.utf16->raw.get(), into + mark, static_cast<std::size_t>(got));
        in.utf16->raw_used = static_cast<std::size_t>(got);
        return read_utf16(in, into, room);
    }
    std::memmove(into, into + mark, static_cast<std::size_t>(got));
    return got == 0 ? read_some(in.fd, into, room) : got;
}

std::ptrdiff_t read_input(void* data, unsigned char* into, std::size_t room)
{
    auto* in = static_cast<input_source*>(data);
    // A full disk stops the run here rather than after the whole input, and
    // so does a finishing pass that has failed.
    if (in->intermediate->out.error_number != 0 || in->intermediate->read_error != 0
        || (in->progress != nullptr && finish_has_failed(*in->progress)))
        return -1;
    const std::ptrdiff_t got = !in->mark_checked ? read_start(*in, into, room)
        : in->utf16 != nullptr                   ? read_utf16(*in, into, room)
                                                 : read_some(in->fd, into, room);
    if (got < 0)
        in->read_error = errno;
    return got;
}

first_pass_report first_pass(
    int input, int intermediate_file, const split_settings& settings, intermediate_progress* progress)
{
    first_pass_report report {};
    intermediate_writer writer(intermediate_file);
    output_buffer& intermediate = writer.out;
    intermediate.progress = progress;
    input_source source {input, &writer, progress, false, ENCODING_BYTES, nullptr, 0, false};

    split_settings split_with = settings;
    split_with.mark_line_breaks = run_options.line_break_mode != LINE_BREAKS_KEEP;
    // The byte-by-byte reference takes every field through on_field.
    const split_stretch stretches = run_kernels.unit == vector_unit::portable ? nullptr : on_plain_stretch;
    const split_report split
        = split_input(read_input, &source, {on_field, on_field_piece, on_record_end, &writer, stretches}, split_with);
    report.encoding = source.encoding;
    if (split.outcome == SPLIT_PARSE_FAILED) {
        report.outcome = PASS_PARSE_FAILED;
        report.error = split.error;
        report.record = split.records + 1;
    } else if (writer.read_error != 0) {
        report.outcome = PASS_INTERMEDIATE_READ_FAILED;
        report.error = writer.read_error;
    } else if (split.outcome == SPLIT_STOPPED && source.invalid) {
        report.outcome = PASS_INPUT_INVALID;
        report.error = EILSEQ;
    } else if (split.outcome == SPLIT_STOPPED && source.read_error != 0) {
        report.outcome = PASS_READ_FAILED;
        report.error = source.read_error;
    } else if (split.outcome == SPLIT_STOPPED && intermediate.error_number == 0) {
        report.outcome = PASS_STOPPED;
    } else if (!intermediate.flush()) {
        report.outcome = PASS_WRITE_FAILED;
        report.error = intermediate.error_number;
    } else if (split.unclosed) {
        report.unclosed_record = split.records;
    }
    return report;
}

}  // namespace

first_pass_report run_first_pass(
    int input, int intermediate_file, const split_settings& settings, intermediate_progress* progress)
{
    begin_messages();
    const first_pass_report report = first_pass(input, intermediate_file, settings, progress);
    end_messages();
    if (progress != nullptr)
        publish_end(*progress, report.outcome != PASS_OK);
    return report;
}
