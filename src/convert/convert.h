// Record conversion: the first pass's parser callbacks, field clean-up and
// the finishing pass.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "split/split.h"

inline constexpr std::size_t OUTPUT_BUFFER_SIZE = 524288;
// Room past the buffer's size for copies that store a little more than
// they keep.
inline constexpr std::size_t OUTPUT_SLACK = 128;

// What the input's first bytes say of it, and so how the output is written.
enum input_encoding : int {
    ENCODING_BYTES = 0,  // no mark: bytes are bytes, in and out
    ENCODING_UTF8_MARK,  // a UTF-8 mark, kept out of the parser and written back
    ENCODING_UTF16_LE,  // FF FE: read as UTF-8, written back as UTF-16 with the mark
    ENCODING_UTF16_BE,  // FE FF: the same, big-endian
};

inline bool is_utf16(input_encoding encoding)
{
    return encoding == ENCODING_UTF16_LE || encoding == ENCODING_UTF16_BE;
}

// How far the first pass has written the intermediate file, for a finishing
// pass that follows it on another thread and reads only what is written.
// The intermediate file is the only queue between them, so memory stays the
// same whatever the input's size.
struct intermediate_progress {
    std::mutex lock;
    std::condition_variable moved;  // notified whenever a field below changes

    // Written by the first pass's thread, read by the finishing pass's, both
    // under lock.
    std::uint64_t written = 0;  // bytes of the intermediate file written so far
    input_encoding encoding = ENCODING_BYTES;  // settled before the first byte is written
    bool ended = false;  // the first pass is over: written is all there is
    bool failed = false;  // ...and it failed: the finishing pass stops
    // The first pass may still read the file back from here (a long field
    // it is to show), so nothing past it may be released.
    std::uint64_t held_from = UINT64_MAX;

    // Written by the finishing pass's thread, read by the first pass's, both
    // under lock.
    std::uint64_t wanted = 0;  // written is worth a wake-up from here on
    bool finish_failed = false;  // no use going on with the first pass then
};

// The first pass's side: more is written, or the pass is over; it may read
// back from offset on (UINT64_MAX: no more).
void publish_written(intermediate_progress& progress, std::uint64_t written);
void publish_held_from(intermediate_progress& progress, std::uint64_t offset);
void publish_end(intermediate_progress& progress, bool failed);
// The finishing pass's side: it has failed.
void publish_finish_failed(intermediate_progress& progress);
bool finish_has_failed(intermediate_progress& progress);

// Collects bytes for a file and hands them over in large blocks, so that
// neither pass makes a system call per record or per field. The first
// failed write is kept, with its errno, and ends all further writing.
struct output_buffer {
    int fd;
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t used = 0;
    int error_number = 0;  // 0 while every write has succeeded
    std::uint64_t written = 0;  // bytes written to the file so far
    intermediate_progress* progress = nullptr;  // told of every block written, where a reader follows
    // UTF-8 held, written as UTF-16 (with_utf16 sets it up).
    input_encoding encoding = ENCODING_BYTES;
    std::unique_ptr<unsigned char[]> encoded;
    // Where bytes begin that may yet be taken back; NOT_TENTATIVE while
    // there are none. They are written out like the rest, but a reader that
    // follows is told only of what comes before them.
    static constexpr std::uint64_t NOT_TENTATIVE = UINT64_MAX;
    std::uint64_t tentative_from = NOT_TENTATIVE;

    explicit output_buffer(int target);

    // Where the next byte put goes in the file.
    std::uint64_t position() const { return written + used; }

    void begin_tentative() { tentative_from = position(); }
    void keep_tentative();
    // Takes the tentative bytes back, from the file too where they have
    // been written out.
    void drop_tentative();

    // Held bytes go out as UTF-16 of the input's byte order from here on.
    void with_utf16(input_encoding utf16);

    // Writes out what is held; false once any write has failed. A UTF-8
    // sequence cut off at the end is held back for the next flush, unless
    // last.
    bool flush(bool last = false);

    void put(const unsigned char* data, std::size_t length);
    void put(char byte)
    {
        if (used == OUTPUT_BUFFER_SIZE && !flush())
            return;
        bytes[used++] = static_cast<unsigned char>(byte);
    }

    // The field in double quotes, each double quote inside it doubled.
    void put_quoted(const unsigned char* field, std::size_t length);
    // The bytes with each double quote doubled, and no quotes around them.
    void put_doubled(const unsigned char* bytes, std::size_t length);
};

// The first pass's side of the intermediate file: its buffer, and the
// field being handed on in pieces, while one is. Written and read by the
// first pass's callbacks alone.
struct intermediate_writer {
    output_buffer out;
    bool field_open = false;  // a long field's first piece is written, its end is not
    bool pipe_replaced = false;  // ...and its first '|' has become a space
    std::uint64_t field_start = 0;  // where its bytes begin in the file, after the opening quote
    std::uint64_t pipe_at = 0;  // where that space is
    int reader = -1;  // the file opened again to show such a field, once one needs it
    int read_error = 0;  // errno of a failed read of it, 0 while none has failed

    explicit intermediate_writer(int fd);
    ~intermediate_writer();
    intermediate_writer(const intermediate_writer&) = delete;
    intermediate_writer& operator=(const intermediate_writer&) = delete;
};

// What spreadsheet programs put at the start of "CSV UTF-8" files.
inline constexpr unsigned char BYTE_ORDER_MARK[] = {0xEF, 0xBB, 0xBF};

enum first_pass_outcome : int {
    PASS_OK = 0,
    PASS_PARSE_FAILED,  // error holds libcsv's status; record, the record it stopped in
    PASS_READ_FAILED,  // reading the input failed; error holds the errno
    PASS_INPUT_INVALID,  // UTF-16 input that is not; error holds EILSEQ
    PASS_WRITE_FAILED,  // error holds the errno of the failed write
    PASS_INTERMEDIATE_READ_FAILED,  // reading a long field back to show it; error holds the errno
    PASS_STOPPED,  // the finishing pass following it failed
};

struct first_pass_report {
    first_pass_outcome outcome;
    int error;
    std::int64_t record;
    input_encoding encoding;  // what the input's first bytes said; a mark is not parsed
    std::int64_t unclosed_record;  // the record whose quoted field the input ended in, or 0
};

// The first pass: splits the input into records, through on_field and
// on_record_end into the intermediate file, and writes out all of it.
// Both are open descriptors. The settings are the splitter's.
// With progress, a finishing pass on another thread is told of every block
// written, and of the pass's end; the pass stops early if that one fails.
first_pass_report run_first_pass(
    int input, int intermediate, const split_settings& settings = {}, intermediate_progress* progress = nullptr);

// libcsv field callback. data is the intermediate_writer. Writes the
// field, cleaned and quoted, with a '|' before every field but a record's
// first; for a field handed on in pieces, its last piece.
void on_field(void* bytes, std::size_t length, void* data);

// The splitter's piece callback. data is the intermediate_writer. Writes a
// long field's pieces as they come, cleaned, with bytes whose fate is not
// yet known written tentatively.
void on_field_piece(void* bytes, std::size_t length, int kind, void* data);

// Writes a long field's last piece and closing quote, then, where its
// first '|' was replaced, the message that shows the field as it was.
void end_field_in_pieces(intermediate_writer& writer, unsigned char* bytes, std::size_t length);

// The splitter's stretch callback. data is the intermediate_writer. Writes
// the stretch's records as on_field and on_record_end would, but for most
// fields without a call; returns how many.
std::size_t on_plain_stretch(const plain_stretch& stretch, void* data);

// libcsv record callback. data is the intermediate_writer. Ends the line,
// counts the record and shows progress every thousand records.
void on_record_end(int terminator, void* data);

// Applies the line-break option and replaces a field's first '|' by a
// space, in place, reporting each change. Returns the new length.
std::size_t clean_field(unsigned char* bytes, std::size_t length);

// The same for a piece of a long field, but for the '|': applies the
// line-break option, reporting each line feed, and sets pipe to the first
// '|' of what is left, or to null. Returns the new length.
std::size_t clean_piece(unsigned char* bytes, std::size_t length, unsigned char*& pipe);

// The first pass's messages (convert/messages.cpp). Between
// begin_messages and end_messages, which frame a pass, they are built in
// blocks for each stream that is no terminal, and end_messages hands on
// what is held; outside them each goes out as it comes.
void begin_messages();
void end_messages();
// The pipe message without the field, which the caller writes after it
// (report_pipe_bytes), then a line feed.
void report_pipe_heading();
void report_pipe_bytes(const void* bytes, std::size_t length);
// The pipe message with the field as it was, for the field run_counters
// are on.
void report_pipe(const unsigned char* field, std::size_t length);
// The line-break option's message, once for each of a field's line feeds.
void report_line_feeds_changed(std::size_t line_feeds);
// The progress line, every thousand records.
void report_progress(std::int64_t records);

enum finish_outcome : int {
    FINISH_OK = 0,
    FINISH_READ_FAILED,  // reading the intermediate file; error says why
    FINISH_WRITE_FAILED,  // writing the output; error says why
    FINISH_STOPPED,  // the first pass it followed failed
};

struct finish_result {
    finish_outcome outcome;
    int error;  // the errno of a failed read or write
};

struct finish_settings {
    input_encoding encoding = ENCODING_BYTES;  // the input's, which the output takes
    // Where set, the first pass is still writing the intermediate file on
    // another thread: it is read as far as written, and the encoding is
    // taken from here.
    intermediate_progress* follow = nullptr;
    // A descriptor of the intermediate file open for writing, through which
    // what has been read is given back to the system as the pass goes; -1:
    // none.
    int release = -1;
};

// Turns the intermediate file into the output: each record's fields as they
// stand between their enclosing quotes, joined by '|', ending in CR LF.
// Reads the intermediate file from its start and writes out all it makes,
// but does not close either.
finish_result finish_output(int intermediate, int output, const finish_settings& settings = {});
