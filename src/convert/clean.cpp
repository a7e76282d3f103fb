#include <bit>
#include <cstring>
#include <string_view>

#include "common/bits.h"
#include "common/common.h"
#include "convert/convert.h"
#include "platform/platform.h"

namespace {

long long record_number()
{
    return static_cast<long long>(run_counters.records_done + 1);
}

// One of the clean-up messages, split around its numbers ("%4lld" and
// "%lld") once, at compile time. A file may bring millions of messages, and
// printf's general parsing would cost more than the field's own handling.
struct message_parts {
    std::string_view pieces[3];  // text before, between and after the numbers
    std::size_t widths[2];
    int numbers;
};

// Plain index loops: string_view's own search is not a constant expression
// under g++'s undefined-behaviour checks.
constexpr message_parts split_message(std::string_view format)
{
    message_parts parts {};
    std::size_t start = 0;
    for (std::size_t at = 0; at < format.size(); ++at) {
        if (format[at] != '%')
            continue;
        parts.pieces[parts.numbers] = format.substr(start, at - start);
        for (++at; format[at] >= '0' && format[at] <= '9'; ++at)
            parts.widths[parts.numbers] = parts.widths[parts.numbers] * 10 + (format[at] - '0');
        at += 2;  // "ll"; the loop's step passes the 'd'
        start = at + 1;
        ++parts.numbers;
    }
    parts.pieces[parts.numbers] = format.substr(start);
    return parts;
}

constexpr message_parts TO_SPACE_MESSAGE = split_message(MSG_LINE_BREAK_TO_SPACE);
constexpr message_parts REMOVED_MESSAGE = split_message(MSG_LINE_BREAK_REMOVED);
constexpr message_parts PIPE_MESSAGE = split_message(MSG_EXTRA_PIPE);

// The texts are short; each number adds at most 20 bytes.
constexpr std::size_t LONGEST_MESSAGE = 256;

// Writes the message's text with its numbers into text; returns its length.
std::size_t format_message(char* text, const message_parts& message, long long first, long long second = 0)
{
    std::size_t used = 0;
    const long long numbers[2] = {first, second};
    for (int i = 0; i <= message.numbers; ++i) {
        std::memcpy(text + used, message.pieces[i].data(), message.pieces[i].size());
        used += message.pieces[i].size();
        if (i == message.numbers)
            break;
        char digits[24];
        std::size_t count = 0;
        auto rest = static_cast<unsigned long long>(numbers[i]);
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0);
        for (std::size_t pad = count; pad < message.widths[i]; ++pad)
            text[used++] = ' ';
        while (count > 0)
            text[used++] = digits[--count];
    }
    return used;
}

// Writes the message, and after it the field's bytes and a line feed when
// there is a field to show: as one write when it all fits the buffer.
void report(std::FILE* stream, const message_parts& message, long long first, long long second = 0,
    const unsigned char* field = nullptr, std::size_t field_length = 0)
{
    constexpr std::size_t FIELD_ROOM = 512;
    char text[LONGEST_MESSAGE + FIELD_ROOM];
    std::size_t used = format_message(text, message, first, second);
    if (field == nullptr) {
        console_write(stream, text, used);
    } else if (field_length < FIELD_ROOM) {
        std::memcpy(text + used, field, field_length);
        used += field_length;
        text[used++] = '\n';
        console_write(stream, text, used);
    } else {
        console_write(stream, text, used);
        console_write(stream, field, field_length);
        console_write(stream, "\n", 1);
    }
}

// The line-feed message, once for each line feed of a field. Nothing else
// comes between them on standard error, so they go out in large writes.
void report_line_feeds(const message_parts& message, std::size_t count)
{
    if (count == 0)
        return;
    char text[8192];
    const std::size_t one = format_message(text, message, record_number());
    std::size_t copies = 1;
    for (; copies < count && (copies + 1) * one <= sizeof text; ++copies)
        std::memcpy(text + copies * one, text, one);
    for (; count >= copies; count -= copies)
        console_write(stderr, text, copies * one);
    if (count > 0)
        console_write(stderr, text, count * one);
}

unsigned char* first_pipe(unsigned char* bytes, std::size_t length)
{
    const unsigned char* found = find_byte(bytes, bytes + length, '|');
    return found == bytes + length ? nullptr : bytes + (found - bytes);
}

}  // namespace

std::size_t clean_piece(unsigned char* bytes, std::size_t length, unsigned char*& pipe)
{
    pipe = nullptr;
    // An empty field may come with no buffer at all.
    if (length == 0)
        return 0;
    // Most fields need nothing; say so after a look or two.
    const int mode = run_options.line_break_mode;
    if (!run_kernels.field_holds(bytes, length, false, mode != LINE_BREAKS_KEEP))
        return length;
    if (mode == LINE_BREAKS_TO_SPACE)
        report_line_feeds(TO_SPACE_MESSAGE, run_kernels.line_breaks_to_spaces(bytes, length, pipe));
    else if (mode == LINE_BREAKS_REMOVE)
        report_line_feeds(REMOVED_MESSAGE, run_kernels.remove_line_breaks(bytes, length, pipe));
    else
        pipe = first_pipe(bytes, length);
    return length;
}

void report_pipe_heading()
{
    report(stdout, PIPE_MESSAGE, record_number(), static_cast<long long>(run_counters.field_number));
}

void report_line_feeds_changed(std::size_t line_feeds)
{
    report_line_feeds(
        run_options.line_break_mode == LINE_BREAKS_REMOVE ? REMOVED_MESSAGE : TO_SPACE_MESSAGE, line_feeds);
}

void report_pipe(const unsigned char* field, std::size_t length)
{
    report(stdout, PIPE_MESSAGE, record_number(), static_cast<long long>(run_counters.field_number), field, length);
}

std::size_t clean_field(unsigned char* bytes, std::size_t length)
{
    unsigned char* pipe;
    length = clean_piece(bytes, length, pipe);

    // Only the first '|' is replaced; the message shows the field as it was,
    // every byte of it, zero bytes included.
    if (pipe != nullptr) {
        report_pipe(bytes, length);
        *pipe = ' ';
    }
    return length;
}
