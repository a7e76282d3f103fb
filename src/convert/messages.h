// The first pass's reports: pipes and progress on standard output, line
// feeds on standard error. Each goes out as it comes, but while a pass
// holds them (held_messages) they are built in blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct message_blocks;

// While one lives, the reports to each stream that is no terminal are
// built in large blocks, which a thread of its own writes to the stream;
// a file may bring tens of millions of reports. Made by the first pass,
// which owns the blocks and the thread: whatever way the pass ends,
// exceptions included, the end hands on what is held and joins the
// thread. Never fails once made, out of memory or threads too.
struct held_messages {
    held_messages();
    ~held_messages();
    held_messages(const held_messages&) = delete;
    held_messages& operator=(const held_messages&) = delete;

private:
    std::unique_ptr<message_blocks> blocks;
};

// The pipe message for the field run_counters are on, with the field as it
// was; or in parts: the heading, the field's bytes (report_pipe_bytes, as
// often as needed), then a line feed.
void report_pipe(const unsigned char* field, std::size_t length);
void report_pipe_heading();
void report_pipe_bytes(const void* bytes, std::size_t length);
// The line-break option's message, once for each of a field's line feeds.
void report_line_feeds_changed(std::size_t line_feeds);
// The progress line for so many records done.
void report_progress(std::int64_t records);
