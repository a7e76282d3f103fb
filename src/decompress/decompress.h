// The input's own bytes, and what they decompress to. A compressed input
// is known by its first bytes, never by its name (a gzip file named .csv
// is still gzip), and is decompressed ahead of the first pass, on a thread
// of its own, in a few blocks of memory besides the window its format
// declares. The splitter asks for bytes and never knows where they came
// from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

// Why the input could not be read: error, the errno of a failed read;
// reason, what is wrong with its bytes, as the message says it (a static
// text). Both empty while nothing has failed.
struct read_failure {
    int error = 0;
    const char* reason = nullptr;
};

// The input file as it is read. A regular file must give all it held when
// it was opened, and hold it still at the end: one cut short meanwhile
// (truncated by another program) would pass for a shorter input.
struct raw_input {
    int fd;
    std::int64_t opened_size;  // a regular file's size when it was opened, else -1
    std::uint64_t read = 0;  // bytes read so far

    explicit raw_input(int input);
};

// Reads up to room of the file's bytes: how many came, 0 at its end, or -1
// with failed set.
std::ptrdiff_t read_raw(raw_input& in, unsigned char* into, std::size_t room, read_failure& failed);

enum compression : int {
    COMPRESSION_NONE = 0,  // plain bytes
    COMPRESSION_GZIP,
    COMPRESSION_ZSTD,
    COMPRESSION_BZIP2,
    COMPRESSION_XZ,
};

// Enough of the first bytes to tell every format; fewer are all there are
// only at the end of the input.
inline constexpr std::size_t FORMAT_MARK_SIZE = 6;

// The format the input's first bytes say it is in. An input that cannot be
// converted as it is (a zip archive, a format this build cannot read) is
// COMPRESSION_NONE with refused set to say why and what to do.
compression compression_of(std::span<const unsigned char> first, const char*& refused);

// The names of the formats this build reads, as --version lists them.
std::span<const char* const> readable_formats();

// A compressed input on its way in: its decompressor, and the thread that
// runs it ahead of the reader where one can be had.
struct unpacker;
struct unpacker_end {
    void operator()(unpacker* u) const;
};
using unpacker_ptr = std::unique_ptr<unpacker, unpacker_end>;

// Starts decompressing raw, whose first bytes, already read from it, are
// first. raw is the unpacker's from then on. Throws std::bad_alloc where
// its memory cannot be had.
unpacker_ptr start_unpacking(compression format, raw_input& raw, std::span<const unsigned char> first);

// Fills into with up to room decompressed bytes: how many came, 0 at the
// end of the last member, frame or stream, or -1 with failed set.
std::ptrdiff_t read_unpacked(unpacker& u, unsigned char* into, std::size_t room, read_failure& failed);
