#include <cerrno>
#include <cstring>

#include "common/common.h"
#include "common/platform.h"
#include "convert/convert.h"
#include "convert/scan.h"

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
    if (OUTPUT_BUFFER_SIZE - intermediate->used >= length + 3 && !field_needs_care(field, length, line_breaks)) {
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
    auto* intermediate = static_cast<output_buffer*>(data);
    auto* field = static_cast<unsigned char*>(bytes);
    run_counters.field_number += 1;
    // The separator goes before a field rather than after it, so nothing
    // has to be taken back at the record's end.
    const bool separator = run_counters.field_number > 1;

    // Most fields are short, need no clean-up and hold no quote to double:
    // those are copied straight into the buffer after a single look.
    const bool line_breaks = run_options.line_break_mode != LINE_BREAKS_KEEP;
    if (length > SHORT_FIELD || OUTPUT_BUFFER_SIZE - intermediate->used < SHORT_FIELD + 3
        || field_needs_care(field, length, line_breaks)) {
        put_field_with_care(intermediate, field, length, separator);
        return;
    }
    put_as_it_stands(intermediate, field, length, separator, copy_short);
}

void on_record_end(int /*terminator*/, void* data)
{
    static_cast<output_buffer*>(data)->put('\n');
    run_counters.records_done += 1;
    if (run_counters.records_done % 1000 == 0) {
        std::printf(MSG_PROGRESS, static_cast<long long>(run_counters.records_done));
        std::fflush(stdout);  // the line has no line end, so show it now
    }
    run_counters.field_number = 0;
}

namespace {

// The input as the splitter reads it. A byte-order mark would make the
// first field unquoted; it is kept out of the splitter and handed on to the
// output as it is.
struct input_source {
    int fd;
    const output_buffer* intermediate;
    intermediate_progress* progress;
    bool mark_checked;
    bool byte_order_mark;
    int read_error;  // errno of a failed read, 0 while none has failed
};

std::ptrdiff_t read_input(void* data, unsigned char* into, std::size_t room)
{
    auto* in = static_cast<input_source*>(data);
    // A full disk stops the run here rather than after the whole input, and
    // so does a finishing pass that has failed.
    if (in->intermediate->error_number != 0 || (in->progress != nullptr && finish_has_failed(*in->progress)))
        return -1;
    std::ptrdiff_t got = read_some(in->fd, into, room);
    if (!in->mark_checked && got > 0) {
        in->mark_checked = true;
        // The mark is only known once three bytes have come, or all there are.
        while (got > 0 && static_cast<std::size_t>(got) < sizeof BYTE_ORDER_MARK) {
            const std::ptrdiff_t more = read_some(in->fd, into + got, room - static_cast<std::size_t>(got));
            if (more <= 0) {
                if (more < 0)
                    got = -1;
                break;
            }
            got += more;
        }
        if (got >= static_cast<std::ptrdiff_t>(sizeof BYTE_ORDER_MARK)
            && std::memcmp(into, BYTE_ORDER_MARK, sizeof BYTE_ORDER_MARK) == 0) {
            in->byte_order_mark = true;
            got -= sizeof BYTE_ORDER_MARK;
            std::memmove(into, into + sizeof BYTE_ORDER_MARK, static_cast<std::size_t>(got));
            if (got == 0)
                got = read_some(in->fd, into, room);
        }
        if (in->progress != nullptr) {
            const std::lock_guard<std::mutex> hold(in->progress->lock);
            in->progress->byte_order_mark = in->byte_order_mark;
        }
    }
    if (got < 0)
        in->read_error = errno;
    return got;
}

first_pass_report first_pass(
    int input, int intermediate_file, const split_settings& settings, intermediate_progress* progress)
{
    first_pass_report report {};
    output_buffer intermediate(intermediate_file);
    intermediate.progress = progress;
    input_source source {input, &intermediate, progress, false, false, 0};

    const split_report split = split_input(read_input, &source, on_field, on_record_end, &intermediate, settings);
    report.byte_order_mark = source.byte_order_mark;
    if (split.outcome == SPLIT_PARSE_FAILED) {
        report.outcome = PASS_PARSE_FAILED;
        report.error = split.error;
        report.record = split.records + 1;
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
    const first_pass_report report = first_pass(input, intermediate_file, settings, progress);
    if (progress != nullptr)
        publish_end(*progress, report.outcome != PASS_OK);
    return report;
}
