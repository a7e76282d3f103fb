#include <bit>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/common.h"
#include "platform/platform.h"
#include "convert/convert.h"
#include "convert/scan.h"

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

// Flags the bytes of a word that need a look: a '|' while one is still
// looked for, and line breaks where they matter. The first flag is exact.
std::uint64_t look_flags(std::uint64_t word, bool want_pipe, bool want_line_breaks = true)
{
    std::uint64_t flags = 0;
    if (want_line_breaks)
        flags = bytes_equal(word, '\n') | bytes_equal(word, '\r');
    if (want_pipe)
        flags |= bytes_equal(word, '|');
    return flags;
}

// Both line-break passes note the first '|' on their way, so each field is
// walked once, a word at a time up to each byte that needs a look.
unsigned char* line_breaks_to_spaces(unsigned char* bytes, std::size_t length)
{
    unsigned char* pipe = nullptr;
    std::size_t line_feeds = 0;
    unsigned char* p = bytes;
    unsigned char* const end = bytes + length;
#if defined(__SSE2__)
    // Fields full of line breaks are common enough: 16 bytes at a time,
    // whatever they hold.
    const __m128i space = _mm_set1_epi8(' ');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i feeds = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
        const __m128i breaks = _mm_or_si128(feeds, _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
        if (pipe == nullptr) {
            if (const auto pipes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('|')))))
                pipe = p + std::countr_zero(pipes);
        }
        if (_mm_movemask_epi8(breaks) != 0) {
            line_feeds += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(_mm_movemask_epi8(feeds))));
            _mm_storeu_si128(
                reinterpret_cast<__m128i*>(p), _mm_or_si128(_mm_andnot_si128(breaks, v), _mm_and_si128(breaks, space)));
        }
    }
#endif
    while (p != end) {
        if (end - p >= 8) {
            const std::uint64_t flags = look_flags(load_word(p), pipe == nullptr);
            if (flags == 0) {
                p += 8;
                continue;
            }
            p += first_flagged(flags);
        }
        if (*p == '\n') {
            ++line_feeds;
            *p = ' ';
        } else if (*p == '\r') {
            *p = ' ';
        } else if (*p == '|' && pipe == nullptr) {
            pipe = p;
        }
        ++p;
    }
    report_line_feeds(TO_SPACE_MESSAGE, line_feeds);
    return pipe;
}

unsigned char* remove_line_breaks(unsigned char* bytes, std::size_t& length)
{
    unsigned char* pipe = nullptr;
    std::size_t line_feeds = 0;
    unsigned char* kept = bytes;
    const unsigned char* p = bytes;
    const unsigned char* const end = bytes + length;
    while (p != end) {
        if (end - p >= 8) {
            const std::uint64_t word = load_word(p);
            const std::uint64_t flags = look_flags(word, pipe == nullptr);
            if (flags == 0) {
                std::memcpy(kept, &word, sizeof word);
                kept += 8;
                p += 8;
                continue;
            }
            for (std::size_t plain = first_flagged(flags); plain > 0; --plain)
                *kept++ = *p++;
        }
        if (*p == '\n') {
            ++line_feeds;
        } else if (*p != '\r') {
            if (*p == '|' && pipe == nullptr)
                pipe = kept;
            *kept++ = *p;
        }
        ++p;
    }
    length = static_cast<std::size_t>(kept - bytes);
    report_line_feeds(REMOVED_MESSAGE, line_feeds);
    return pipe;
}

}  // namespace

std::size_t clean_piece(unsigned char* bytes, std::size_t length, unsigned char*& pipe)
{
    pipe = nullptr;
    // An empty field may come with no buffer at all.
    if (length == 0)
        return 0;
    // Most fields need nothing; say so after a word or two of looking.
    const bool keep = run_options.line_break_mode == LINE_BREAKS_KEEP;
    if (!any_flagged(bytes, length, [keep](std::uint64_t word) { return look_flags(word, true, !keep); }))
        return length;
    if (run_options.line_break_mode == LINE_BREAKS_TO_SPACE)
        pipe = line_breaks_to_spaces(bytes, length);
    else if (run_options.line_break_mode == LINE_BREAKS_REMOVE)
        pipe = remove_line_breaks(bytes, length);
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
