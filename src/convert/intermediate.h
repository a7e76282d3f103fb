// The intermediate file: the contract between the two passes.
//
// It holds each record's fields joined by '|' and ended by CR LF, in input
// order. A field that could hold a '|' or a line break stands in double
// quotes, each quote in it doubled; any other may stand bare, and then
// holds neither a quote nor a '|'. So counting quotes tells inside from
// outside: a quote that opens a field follows a separator or a line's
// start, one that closes it comes before a separator or a record's end,
// and a doubled quote is a closing quote directly followed by an opening
// one. The finishing pass writes the file out without the quotes that
// enclose fields, doubled ones kept as they are.
//
// The first pass writes it (convert/field.cpp), the finishing pass reads
// it (convert/finish.cpp), and where both run at once, the hand-off below
// is the only thing they share: the file is the queue between them, so
// memory stays the same whatever the input's size.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "convert/encoding.h"
#include "convert/output_buffer.h"

// How far the first pass has written the intermediate file, for a finishing
// pass that follows it on another thread and reads only what is written.
struct pass_handoff {
    std::mutex lock;
    std::condition_variable moved;  // notified whenever a field below changes

    // Written by the first pass's thread, read by the finishing pass's, both
    // under lock.
    std::uint64_t written = 0;  // bytes of the intermediate file written so far
    input_encoding encoding = ENCODING_BYTES;  // settled before the first byte is written
    bool ended = false;  // the first pass is over: written is all there is
    bool failed = false;  // ...and it failed: the finishing pass stops
    // The first pass may still read the file back from here (a long field
    // it is to show), so no page past it may be given back to the system.
    std::uint64_t held_from = UINT64_MAX;

    // Written by the finishing pass's thread, read by the first pass's, both
    // under lock.
    std::uint64_t wanted = 0;  // written is worth a wake-up from here on
    bool finish_failed = false;  // no use going on with the first pass then
};

// The first pass's side: more is written; the file may be read back from
// offset on (UINT64_MAX: no more); the input's encoding is known; the pass
// is over.
void tell_written(pass_handoff& handoff, std::uint64_t written);
void tell_held_from(pass_handoff& handoff, std::uint64_t offset);
void tell_encoding(pass_handoff& handoff, input_encoding encoding);
void tell_end(pass_handoff& handoff, bool failed);
// The finishing pass's side: it has failed.
void tell_finish_failed(pass_handoff& handoff);
bool finish_has_failed(pass_handoff& handoff);

// The first pass's side of the file: its buffer, and the field being
// written, while one is open across calls (a long field in pieces). Written
// and read by the first pass alone.
struct intermediate_writer {
    output_buffer out;
    pass_handoff* handoff = nullptr;  // the finishing pass following the file, where one does
    bool field_open = false;  // a long field's first piece is written, its end is not
    bool pipe_replaced = false;  // ...and its first '|' has become a space
    std::uint64_t field_start = 0;  // where its bytes begin in the file, after the opening quote
    std::uint64_t pipe_at = 0;  // where that space is
    int reader = -1;  // the file opened again to show such a field, once one needs it
    std::unique_ptr<unsigned char[]> shown;  // the bytes read back to show it
    int read_error = 0;  // errno of a failed read of it, 0 while none has failed
    // Where the bytes that may yet be taken back begin (a long field's
    // closing quote and blanks, until a later byte settles them), or
    // NOT_TENTATIVE. They are written out like the rest, but the finishing
    // pass is told only of what comes before them.
    std::uint64_t tentative_from = NOT_TENTATIVE;
    static constexpr std::uint64_t NOT_TENTATIVE = UINT64_MAX;

    explicit intermediate_writer(int fd);
    ~intermediate_writer();
    intermediate_writer(const intermediate_writer&) = delete;
    intermediate_writer& operator=(const intermediate_writer&) = delete;
};

// From here on, every block the writer's buffer writes is told to the
// finishing pass that follows the file through the hand-off.
void follow_with(intermediate_writer& writer, pass_handoff* handoff);

// Bytes put from here on may yet be taken back; they are kept, or taken
// back, from the file too where they have been written out.
void begin_tentative(intermediate_writer& writer);
void keep_tentative(intermediate_writer& writer);
void drop_tentative(intermediate_writer& writer);

// Writes to standard output the pipe message of the long field that ends
// at end: its bytes read back from the file, quotes made one again and the
// space made the '|' it was.
void show_field_read_back(intermediate_writer& writer, std::uint64_t end);
