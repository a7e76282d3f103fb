// The first pass's messages. A message is formatted once and, while a run
// of them differs only in its number, counted on in place.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>

#include "common/bits.h"
#include "common/common.h"
#include "convert/messages.h"
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
bool count_first_up(formatted& m)
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
    if (!(second == m.numbers[1] && first == m.numbers[0] + 1 && count_first_up(m)))
        format(m, first, second);
    return m;
}

enum stream_index { OUT, ERR };

constexpr std::size_t BLOCK_SIZE = 256 * 1024;
// No more blocks than this are made, written or not: memory stays flat
// however many messages come.
constexpr int MOST_BLOCKS = 8;

std::FILE* stream_of(stream_index which)
{
    return which == OUT ? stdout : stderr;
}

// A block on its way to its stream.
struct full_block {
    stream_index which;
    char* bytes;
    std::size_t used;
};

}  // namespace

// The blocks of one pass, and the thread that writes the full ones to
// their streams while the pass goes on, started with the first full
// block; in the order they came, so each stream's stays whole. Blocks are
// made with the nothrow new and freed at the end: without memory for one
// more, the pass waits for one to be written, and without a thread, it
// writes each block itself.
struct message_blocks {
    // The block being filled for each stream; null where the stream gets
    // each message as it comes. The pass's alone.
    char* filling[2] = {};
    std::size_t used[2] = {};
    int made = 0;
    std::thread writer;
    bool writer_tried = false;

    std::mutex lock;
    std::condition_variable changed;  // notified whenever a field below changes
    // Written by the pass, read by the writer, under lock.
    full_block queue[MOST_BLOCKS];
    int queue_start = 0;
    int queued = 0;
    bool ending = false;
    // Written by the writer, read by the pass, under lock: blocks written,
    // to fill again.
    char* spare[MOST_BLOCKS];
    int spares = 0;
};

namespace {

// The blocks of the pass that holds the reports, while one does. Set and
// cleared by held_messages, on the first pass's thread; read by the
// reports, on that thread too.
message_blocks* held_blocks = nullptr;

void write_blocks(message_blocks& m)
{
    std::unique_lock<std::mutex> hold(m.lock);
    for (;;) {
        m.changed.wait(hold, [&] { return m.queued > 0 || m.ending; });
        if (m.queued == 0)
            return;
        const full_block block = m.queue[m.queue_start];
        m.queue_start = (m.queue_start + 1) % MOST_BLOCKS;
        --m.queued;
        hold.unlock();
        console_write(stream_of(block.which), block.bytes, block.used);
        hold.lock();
        m.spare[m.spares++] = block.bytes;
        m.changed.notify_all();
    }
}

void start_writer(message_blocks& m)
{
    m.writer_tried = true;
    try {
        m.writer = std::thread(write_blocks, std::ref(m));
    } catch (...) {
        // No thread to be had (no memory for it, or none left): the pass
        // writes each block as it fills.
    }
}

// Hands the stream's block on: to the writer, where it runs, and the
// stream is then given an empty one; else straight to the stream.
void send_block(message_blocks& m, stream_index which)
{
    if (m.used[which] == 0)
        return;
    if (!m.writer_tried)
        start_writer(m);
    if (!m.writer.joinable()) {
        console_write(stream_of(which), m.filling[which], m.used[which]);
        m.used[which] = 0;
        return;
    }
    std::unique_lock<std::mutex> hold(m.lock);
    m.queue[(m.queue_start + m.queued++) % MOST_BLOCKS] = {which, m.filling[which], m.used[which]};
    m.changed.notify_all();
    m.used[which] = 0;
    if (m.spares == 0 && m.made < MOST_BLOCKS) {
        hold.unlock();
        if ((m.filling[which] = new (std::nothrow) char[BLOCK_SIZE]) != nullptr) {
            ++m.made;
            return;
        }
        hold.lock();
    }
    // The block just queued comes back at the latest.
    m.changed.wait(hold, [&] { return m.spares > 0; });
    m.filling[which] = m.spare[--m.spares];
}

void put_across(message_blocks* m, stream_index which, const void* bytes, std::size_t length)
{
    if (m == nullptr || m->filling[which] == nullptr) {
        console_write(stream_of(which), bytes, length);
        return;
    }
    const char* from = static_cast<const char*>(bytes);
    while (BLOCK_SIZE - m->used[which] < length) {
        const std::size_t room = BLOCK_SIZE - m->used[which];
        std::memcpy(m->filling[which] + m->used[which], from, room);
        m->used[which] = BLOCK_SIZE;
        from += room;
        length -= room;
        send_block(*m, which);
    }
    std::memcpy(m->filling[which] + m->used[which], from, length);
    m->used[which] += length;
}

// Most messages fit in what is left of the block.
inline void put(stream_index which, const void* bytes, std::size_t length)
{
    message_blocks* const m = held_blocks;
    if (m != nullptr && m->filling[which] != nullptr && BLOCK_SIZE - m->used[which] >= length) {
        char* const to = m->filling[which] + m->used[which];
        if (length <= 16)
            copy_short(reinterpret_cast<unsigned char*>(to), static_cast<const unsigned char*>(bytes), length);
        else
            std::memcpy(to, bytes, length);
        m->used[which] += length;
        return;
    }
    put_across(m, which, bytes, length);
}

void put(stream_index which, const formatted& f)
{
    put(which, f.text, f.length);
}

// copies of the message at run, made by copying what is there already,
// twice as much each time, not by a copy per message.
void repeat_into(char* run, const formatted& f, std::size_t copies)
{
    std::memcpy(run, f.text, f.length);
    for (std::size_t made = 1; made < copies;) {
        const std::size_t more = std::min(made, copies - made);
        std::memcpy(run + made * f.length, run, more * f.length);
        made += more;
    }
}

// The same message count times: a field of a million line breaks brings a
// million of them. They fill the stream's block, or go to a terminal in
// writes of up to 8 KiB, never one per message.
void put_repeated(stream_index which, const formatted& f, std::size_t count)
{
    message_blocks* const m = held_blocks;
    if (m == nullptr || m->filling[which] == nullptr) {
        char text[8192];
        const std::size_t most = std::min(count, sizeof text / f.length);
        repeat_into(text, f, most);
        for (; count > 0; count -= std::min(count, most))
            console_write(stream_of(which), text, std::min(count, most) * f.length);
        return;
    }
    while (count > 0) {
        const std::size_t fit = (BLOCK_SIZE - m->used[which]) / f.length;
        if (fit < 2) {
            put(which, f);  // across the block's end
            --count;
            continue;
        }
        const std::size_t copies = std::min(count, fit);
        repeat_into(m->filling[which] + m->used[which], f, copies);
        m->used[which] += copies * f.length;
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

held_messages::held_messages()
    : blocks(new (std::nothrow) message_blocks)
{
    if (blocks == nullptr)
        return;  // each message goes out as it comes
    for (const stream_index which : {OUT, ERR}) {
        if (!is_terminal(which == OUT ? 1 : 2) && (blocks->filling[which] = new (std::nothrow) char[BLOCK_SIZE]))
            ++blocks->made;
    }
    held_blocks = blocks.get();
}

held_messages::~held_messages()
{
    if (blocks == nullptr)
        return;
    message_blocks& m = *blocks;
    for (const stream_index which : {OUT, ERR})
        send_block(m, which);
    if (m.writer.joinable()) {
        {
            const std::lock_guard<std::mutex> hold(m.lock);
            m.ending = true;
        }
        m.changed.notify_all();
        m.writer.join();
    }
    held_blocks = nullptr;
    for (const stream_index which : {OUT, ERR})
        delete[] m.filling[which];
    for (int i = 0; i < m.spares; ++i)
        delete[] m.spare[i];
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
    if (held_blocks == nullptr || held_blocks->filling[OUT] == nullptr)
        console_flush(stdout);
}
