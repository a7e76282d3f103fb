// The first pass's messages: pipes and progress on standard output, line
// feeds on standard error. A file may bring tens of millions of them, so
// while a pass runs they are built in large blocks, one per stream, each
// handed to the stream whole by a thread of its own; a message is
// formatted once and, while a run of them differs only in its number,
// counted on in place. A stream that is a terminal gets each message as it
// comes, as before.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "common/common.h"
#include "convert/convert.h"
#include "platform/platform.h"

namespace {

// One of the messages, split around its numbers ("%4lld" and "%lld") once,
// at compile time.
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
constexpr message_parts PROGRESS_MESSAGE = split_message(MSG_PROGRESS);

// The texts are short; each number adds at most 20 bytes.
constexpr std::size_t LONGEST_MESSAGE = 256;

// A message as last formatted, and where its first number's digits lie,
// so that the next one's can be counted on in place.
struct formatted {
    const message_parts& parts;
    long long numbers[2] = {-1, -1};
    char text[LONGEST_MESSAGE] = {};
    std::size_t length = 0;
    std::size_t first_digit = 0;  // of the first number
    std::size_t first_end = 0;  // just past it
};

void format(formatted& m, long long first, long long second)
{
    const message_parts& parts = m.parts;
    const long long numbers[2] = {first, second};
    std::size_t used = 0;
    for (int i = 0; i <= parts.numbers; ++i) {
        std::memcpy(m.text + used, parts.pieces[i].data(), parts.pieces[i].size());
        used += parts.pieces[i].size();
        if (i == parts.numbers)
            break;
        char digits[24];
        std::size_t count = 0;
        auto rest = static_cast<unsigned long long>(numbers[i]);
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0);
        for (std::size_t pad = count; pad < parts.widths[i]; ++pad)
            m.text[used++] = ' ';
        if (i == 0)
            m.first_digit = used;
        while (count > 0)
            m.text[used++] = digits[--count];
        if (i == 0)
            m.first_end = used;
    }
    m.length = used;
    m.numbers[0] = first;
    m.numbers[1] = second;
}

// The first number one up, in place, if that keeps the text's length: into
// a padding blank, or within its digits.
bool count_on(formatted& m)
{
    std::size_t at = m.first_end;
    while (at > m.first_digit) {
        char& digit = m.text[--at];
        if (digit != '9') {
            ++digit;
            ++m.numbers[0];
            return true;
        }
        digit = '0';
    }
    if (m.first_digit > m.parts.pieces[0].size()) {  // a padding blank takes the carry
        m.text[--m.first_digit] = '1';
        ++m.numbers[0];
        return true;
    }
    return false;
}

// The message for these numbers, formatted or counted on from the last.
const formatted& message(formatted& m, long long first, long long second = 0)
{
    if (first == m.numbers[0] && second == m.numbers[1])
        return m;
    if (!(second == m.numbers[1] && first == m.numbers[0] + 1 && count_on(m)))
        format(m, first, second);
    return m;
}

enum stream_index { OUT, ERR };

constexpr std::size_t BLOCK_SIZE = 256 * 1024;
using block_bytes = std::unique_ptr<char[]>;

// A stream's messages not yet handed on. Process-wide; written and read by
// the first pass's thread alone (begin_messages and end_messages frame a
// pass).
struct message_block {
    block_bytes bytes;
    std::size_t used = 0;
    bool held = false;  // blocks are built: the stream is no terminal, and a pass runs
};
message_block blocks[2];

std::FILE* stream_of(stream_index which)
{
    return which == OUT ? stdout : stderr;
}

// Full blocks on their way to the streams, written there by a thread of
// their own, started with the first full block, so that the pass goes on
// meanwhile; in the order they came, so each stream's stays whole.
// Process-wide, between begin_messages and end_messages.
struct full_block {
    stream_index which;
    block_bytes bytes;
    std::size_t used;
};
struct block_writer {
    std::mutex lock;
    std::condition_variable changed;  // notified whenever a field below changes
    // Written by the pass, read by the writer, under lock.
    std::deque<full_block> queue;
    bool ending = false;
    // Written by the writer, read by the pass, under lock: blocks written,
    // to fill again.
    std::vector<block_bytes> spare;
    // The pass's alone.
    std::thread thread;
    bool started = false;  // ...or tried
    int blocks_made = 0;
};
block_writer writer;

// No more blocks than this are made, written or not: memory stays flat
// however many messages come.
constexpr int MOST_BLOCKS = 8;

void write_blocks()
{
    std::unique_lock<std::mutex> hold(writer.lock);
    for (;;) {
        writer.changed.wait(hold, [] { return !writer.queue.empty() || writer.ending; });
        if (writer.queue.empty())
            return;
        full_block block = std::move(writer.queue.front());
        writer.queue.pop_front();
        hold.unlock();
        console_write(stream_of(block.which), block.bytes.get(), block.used);
        hold.lock();
        writer.spare.push_back(std::move(block.bytes));
        writer.changed.notify_all();
    }
}

// Hands the stream's block on: to the writer, where it runs, and the block
// is then another, empty; else straight to the stream.
void hand_on(stream_index which)
{
    message_block& block = blocks[which];
    if (block.used == 0)
        return;
    if (!writer.started) {
        writer.started = true;
        try {
            writer.thread = std::thread(write_blocks);
        } catch (const std::system_error&) {
            // No thread to be had: each block is written as it fills.
        }
    }
    if (!writer.thread.joinable()) {
        console_write(stream_of(which), block.bytes.get(), block.used);
        block.used = 0;
        return;
    }
    std::unique_lock<std::mutex> hold(writer.lock);
    writer.queue.push_back({which, std::move(block.bytes), block.used});
    writer.changed.notify_all();
    if (writer.spare.empty() && writer.blocks_made < MOST_BLOCKS) {
        ++writer.blocks_made;
        hold.unlock();
        block.bytes = std::make_unique_for_overwrite<char[]>(BLOCK_SIZE);
    } else {
        writer.changed.wait(hold, [] { return !writer.spare.empty(); });
        block.bytes = std::move(writer.spare.back());
        writer.spare.pop_back();
    }
    block.used = 0;
}

void put(stream_index which, const void* bytes, std::size_t length)
{
    message_block& block = blocks[which];
    if (!block.held) {
        console_write(stream_of(which), bytes, length);
        return;
    }
    const char* from = static_cast<const char*>(bytes);
    while (BLOCK_SIZE - block.used < length) {
        const std::size_t room = BLOCK_SIZE - block.used;
        std::memcpy(block.bytes.get() + block.used, from, room);
        block.used = BLOCK_SIZE;
        from += room;
        length -= room;
        hand_on(which);
    }
    std::memcpy(block.bytes.get() + block.used, from, length);
    block.used += length;
}

void put(stream_index which, const formatted& m)
{
    put(which, m.text, m.length);
}

// copies of the message at run, made by copying what is there already,
// twice as much each time, not by a copy per message.
void repeat_into(char* run, const formatted& m, std::size_t copies)
{
    std::memcpy(run, m.text, m.length);
    for (std::size_t made = 1; made < copies;) {
        const std::size_t more = std::min(made, copies - made);
        std::memcpy(run + made * m.length, run, more * m.length);
        made += more;
    }
}

// The same message count times: a field of a million line breaks brings a
// million of them. They fill the stream's block, or go to a terminal in
// writes of up to 8 KiB, never one per message.
void put_repeated(stream_index which, const formatted& m, std::size_t count)
{
    message_block& block = blocks[which];
    if (!block.held) {
        char text[8192];
        const std::size_t most = std::min(count, sizeof text / m.length);
        repeat_into(text, m, most);
        for (; count > 0; count -= std::min(count, most))
            console_write(stream_of(which), text, std::min(count, most) * m.length);
        return;
    }
    while (count > 0) {
        const std::size_t fit = (BLOCK_SIZE - block.used) / m.length;
        if (fit < 2) {
            put(which, m);  // across the block's end
            --count;
            continue;
        }
        const std::size_t copies = std::min(count, fit);
        repeat_into(block.bytes.get() + block.used, m, copies);
        block.used += copies * m.length;
        count -= copies;
    }
}

// The last of each message, process-wide, used by the first pass's thread
// alone.
formatted to_space_message {TO_SPACE_MESSAGE};
formatted removed_message {REMOVED_MESSAGE};
formatted pipe_message {PIPE_MESSAGE};
formatted progress_message {PROGRESS_MESSAGE};

long long record_number()
{
    return static_cast<long long>(run_counters.records_done + 1);
}

}  // namespace

void begin_messages()
{
    for (const stream_index which : {OUT, ERR}) {
        message_block& block = blocks[which];
        block.held = !is_terminal(which == OUT ? 1 : 2);
        if (block.held && block.bytes == nullptr) {
            block.bytes = std::make_unique_for_overwrite<char[]>(BLOCK_SIZE);
            ++writer.blocks_made;
        }
        block.used = 0;
    }
}

void end_messages()
{
    for (const stream_index which : {OUT, ERR}) {
        hand_on(which);
        blocks[which].held = false;
    }
    if (writer.thread.joinable()) {
        {
            const std::lock_guard<std::mutex> hold(writer.lock);
            writer.ending = true;
        }
        writer.changed.notify_all();
        writer.thread.join();
        writer.ending = false;
    }
    writer.started = false;
}

void report_line_feeds_changed(std::size_t line_feeds)
{
    if (line_feeds == 0)
        return;
    formatted& kind = run_options.line_break_mode == LINE_BREAKS_REMOVE ? removed_message : to_space_message;
    put_repeated(ERR, message(kind, record_number()), line_feeds);
}

void report_pipe_heading()
{
    put(OUT, message(pipe_message, record_number(), static_cast<long long>(run_counters.field_number)));
}

void report_pipe_bytes(const void* bytes, std::size_t length)
{
    put(OUT, bytes, length);
}

void report_pipe(const unsigned char* field, std::size_t length)
{
    report_pipe_heading();
    put(OUT, field, length);
    put(OUT, "\n", 1);
}

void report_progress(std::int64_t records)
{
    put(OUT, message(progress_message, static_cast<long long>(records)));
    // The line has no line end: a terminal shows it now.
    if (!blocks[OUT].held)
        console_flush(stdout);
}
