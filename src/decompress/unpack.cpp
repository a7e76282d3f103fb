// The unpacker: the compressed file read and decompressed into a few
// blocks ahead of the reader, on a thread of its own where one can be had,
// else as the reader asks.
#include <algorithm>
#include <array>
#include <utility>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "common/common.h"
#include "decompress/formats.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t RAW_SIZE = 256 * 1024;
constexpr std::size_t BLOCK_SIZE = 1024 * 1024;
constexpr int BLOCKS = 4;

}  // namespace

raw_input::raw_input(int input)
    : fd(input)
    , opened_size(regular_file_size(input))
{
}

std::ptrdiff_t read_raw(raw_input& in, unsigned char* into, std::size_t room, read_failure& failed)
{
    const std::ptrdiff_t got = read_some(in.fd, into, room);
    if (got > 0) {
        in.read += static_cast<std::uint64_t>(got);
    } else if (got < 0) {
        failed.error = errno;
    } else if (in.opened_size >= 0) {
        const std::int64_t now = regular_file_size(in.fd);
        if (in.read < static_cast<std::uint64_t>(in.opened_size) || (now >= 0 && now < in.opened_size)) {
            failed.reason = MSG_INPUT_SHRANK;
            return -1;
        }
    }
    return got;
}

const format_descriptor& descriptor_of(compression format)
{
    switch (format) {
    case COMPRESSION_ZSTD:
        return ZSTD_FORMAT;
    case COMPRESSION_BZIP2:
        return BZIP2_FORMAT;
    case COMPRESSION_XZ:
        return XZ_FORMAT;
    default:
        return GZIP_FORMAT;
    }
}

namespace {

constexpr const format_descriptor* FORMATS[] = {&GZIP_FORMAT, &ZSTD_FORMAT, &BZIP2_FORMAT, &XZ_FORMAT};

}  // namespace

std::span<const char* const> readable_formats()
{
    static const auto names = [] {
        std::array<const char*, std::size(FORMATS)> readable {};
        std::size_t count = 0;
        for (const format_descriptor* format : FORMATS) {
            if (format->open != nullptr)
                readable[count++] = format->name;
        }
        return std::pair {readable, count};
    }();
    return {names.first.data(), names.second};
}

compression compression_of(std::span<const unsigned char> first, const char*& refused)
{
    refused = nullptr;
    constexpr unsigned char zip[] = {'P', 'K', 3, 4};
    if (first.size() >= sizeof zip && std::equal(std::begin(zip), std::end(zip), first.begin())) {
        refused = MSG_ZIP_REFUSED;
        return COMPRESSION_NONE;
    }
    for (const format_descriptor* format : FORMATS) {
        if (!format->begins(first))
            continue;
        if (format->open == nullptr) {
            refused = format->texts.not_built;
            return COMPRESSION_NONE;
        }
        return format->format;
    }
    return COMPRESSION_NONE;
}

// The decompressor's side: the file, its decoder, and where it is in them.
// Used by one thread at a time: the unpacking thread while it runs, else
// the reader.
struct decoding {
    const format_descriptor& format;
    raw_input raw;
    // Before the decoder, so that a decoder that cannot be had leaves
    // nothing behind.
    std::unique_ptr<unsigned char[]> in = std::make_unique_for_overwrite<unsigned char[]>(RAW_SIZE);
    void* decoder;
    const unsigned char* in_at = nullptr;
    std::size_t in_left = 0;
    bool raw_ended = false;
    bool between = false;  // a member, frame or stream has ended, and no other begun
    bool done = false;  // the last has ended, and only zeros (if anything) followed
    read_failure failed;

    decoding(const format_descriptor& f, const raw_input& r)
        : format(f)
        , raw(r)
        , decoder(f.open())
    {
    }
    ~decoding() { format.close(decoder); }
    decoding(const decoding&) = delete;
    decoding& operator=(const decoding&) = delete;
};

namespace {

// More of the file into in, once in is used up. False at its end, or with
// failed set.
bool refill(decoding& d)
{
    if (d.raw_ended)
        return false;
    const std::ptrdiff_t got = read_raw(d.raw, d.in.get(), RAW_SIZE, d.failed);
    if (got <= 0) {
        d.raw_ended = true;
        return false;
    }
    d.in_at = d.in.get();
    d.in_left = static_cast<std::size_t>(got);
    return true;
}

// Between members: trailing zeros (a tape's or block device's padding) are
// passed over; anything else must begin the next member. True when the
// decoder may go on.
bool settle_between(decoding& d)
{
    for (;;) {
        while (d.in_left > 0 && *d.in_at == 0) {
            ++d.in_at;
            --d.in_left;
        }
        if (d.in_left > 0)
            break;
        if (!refill(d)) {
            d.done = d.failed.error == 0 && d.failed.reason == nullptr;
            return false;
        }
    }
    // A mark cut by the end of in: the next bytes are joined to it.
    if (d.in_left < FORMAT_MARK_SIZE && !d.raw_ended) {
        std::memmove(d.in.get(), d.in_at, d.in_left);
        d.in_at = d.in.get();
        const std::ptrdiff_t got
            = read_raw(d.raw, d.in.get() + d.in_left, RAW_SIZE - d.in_left, d.failed);
        if (got < 0)
            return false;
        d.raw_ended = got == 0;
        d.in_left += static_cast<std::size_t>(got);
    }
    if (std::any_of(d.in_at, d.in_at + std::min(d.in_left, FORMAT_MARK_SIZE), [](unsigned char b) { return b != 0; })
        && !d.format.begins({d.in_at, d.in_left})) {
        d.failed.reason = d.format.texts.trailing;
        return false;
    }
    decode_failure failure;
    if (!d.format.restart(d.decoder, failure)) {
        d.failed = {failure.error, failure.reason};
        return false;
    }
    d.between = false;
    return true;
}

// Decompresses into out, up to room bytes: how many came. Fewer than room
// only at the end or on failure (failed set).
std::size_t decode_into(decoding& d, unsigned char* out, std::size_t room)
{
    if (d.failed.error != 0 || d.failed.reason != nullptr)
        return 0;
    unsigned char* at = out;
    std::size_t left = room;
    while (left > 0 && !d.done) {
        if (d.between && !settle_between(d))
            break;
        if (d.in_left == 0 && !refill(d)) {
            if (d.failed.error == 0 && d.failed.reason == nullptr)
                d.failed.reason = d.format.texts.cut_short;
            break;
        }
        decode_failure failure;
        const decode_result result = d.format.decode(d.decoder, d.in_at, d.in_left, at, left, failure);
        if (result == DECODE_FAILED) {
            d.failed = {failure.error, failure.reason};
            break;
        }
        if (result == DECODE_ENDED)
            d.between = true;
    }
    return room - left;
}

bool has_failed(const read_failure& failed)
{
    return failed.error != 0 || failed.reason != nullptr;
}

}  // namespace

// Blocks of decompressed bytes, filled by the unpacking thread and taken
// by the reader (the first pass's thread); the fields under lock are
// written and read by both.
struct unpacker {
    decoding d;
    std::unique_ptr<unsigned char[]> blocks = std::make_unique_for_overwrite<unsigned char[]>(BLOCK_SIZE * BLOCKS);

    std::mutex lock;
    std::condition_variable moved;
    std::size_t filled[BLOCKS] = {};  // under lock: bytes in each block
    std::uint64_t made = 0;  // under lock: blocks filled so far
    std::uint64_t taken = 0;  // under lock: blocks the reader is done with
    bool ended = false;  // under lock: made is all there will be, and d.failed says why
    bool stopping = false;  // under lock: the reader is gone
    std::thread thread;

    // The reader's own: where it is in the block it reads.
    std::size_t read_at = 0;

    unpacker(const format_descriptor& format, const raw_input& raw)
        : d(format, raw)
    {
    }
};

namespace {

void unpack_ahead(unpacker& u)
{
    for (;;) {
        std::uint64_t next;
        {
            std::unique_lock held(u.lock);
            u.moved.wait(held, [&] { return u.stopping || u.made - u.taken < BLOCKS; });
            if (u.stopping)
                return;
            next = u.made;
        }
        unsigned char* const block = u.blocks.get() + (next % BLOCKS) * BLOCK_SIZE;
        const std::size_t got = decode_into(u.d, block, BLOCK_SIZE);
        const bool last = got < BLOCK_SIZE;
        {
            const std::lock_guard held(u.lock);
            u.filled[next % BLOCKS] = got;
            ++u.made;
            u.ended = last;
        }
        u.moved.notify_all();
        if (last)
            return;
    }
}

}  // namespace

void unpacker_end::operator()(unpacker* u) const
{
    if (u->thread.joinable()) {
        {
            const std::lock_guard held(u->lock);
            u->stopping = true;
        }
        u->moved.notify_all();
        u->thread.join();
    }
    delete u;
}

unpacker_ptr start_unpacking(compression format, raw_input& raw, std::span<const unsigned char> first)
{
    unpacker_ptr u(new unpacker(descriptor_of(format), raw));
    std::memcpy(u->d.in.get(), first.data(), first.size());
    u->d.in_at = u->d.in.get();
    u->d.in_left = first.size();
    try {
        u->thread = std::thread(unpack_ahead, std::ref(*u));
    } catch (const std::system_error&) {
        // No thread to be had: the reader decompresses as it goes.
    }
    return u;
}

std::ptrdiff_t read_unpacked(unpacker& u, unsigned char* into, std::size_t room, read_failure& failed)
{
    if (!u.thread.joinable()) {
        const std::size_t got = decode_into(u.d, into, room);
        if (got == 0 && has_failed(u.d.failed)) {
            failed = u.d.failed;
            return -1;
        }
        return static_cast<std::ptrdiff_t>(got);
    }
    std::unique_lock held(u.lock);
    for (;;) {
        u.moved.wait(held, [&] { return u.made > u.taken || u.ended; });
        if (u.made == u.taken) {
            // All that came was read: the end, or the failure that ended it.
            if (!has_failed(u.d.failed))
                return 0;
            failed = u.d.failed;
            return -1;
        }
        const std::size_t slot = u.taken % BLOCKS;
        const std::size_t filled = u.filled[slot];
        if (u.read_at < filled) {
            held.unlock();
            const std::size_t n = std::min(room, filled - u.read_at);
            std::memcpy(into, u.blocks.get() + slot * BLOCK_SIZE + u.read_at, n);
            u.read_at += n;
            return static_cast<std::ptrdiff_t>(n);
        }
        ++u.taken;
        u.read_at = 0;
        u.moved.notify_all();
    }
}
