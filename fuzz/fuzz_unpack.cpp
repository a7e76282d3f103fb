// Fuzz target: compressed input, mutated and cut short, read as the first
// pass reads it. Every input either reads to its end or stops with a
// reason (or a read's errno), never otherwise; the bytes it gives do not
// depend on how much is asked for at a time; and a gzip stream that reads
// to its end gives what zlib, a second decompressor, gives. Crashes, leaks
// and hangs are the sanitizers' and libFuzzer's to see.
//
// Input layout: byte 0 chooses the size of the reads; the rest is the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <zlib.h>

#include "convert/encoding.h"

namespace {

// A decompression bomb is cut off here: its reading is what is fuzzed.
constexpr std::size_t MOST_READ = 1 << 20;

struct reading {
    std::string bytes;
    bool ended = false;  // read to the end, rather than stopped
    bool capped = false;  // ...or stopped at MOST_READ
};

reading read_all(const std::uint8_t* file, std::size_t size, std::size_t room)
{
    reading r;
    const int fd = memfd_create("input", 0);
    if (fd < 0 || write(fd, file, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    {
        decoded_input in(fd);
        std::string piece(room, '\0');
        for (;;) {
            errno = 0;
            const std::ptrdiff_t got = read_decoded(in, reinterpret_cast<unsigned char*>(piece.data()), room);
            if (got == 0) {
                r.ended = true;
                break;
            }
            if (got < 0) {
                // A stop always says why.
                if (!(in.invalid && (in.reason != nullptr || errno == EILSEQ)) && errno == 0)
                    std::abort();
                break;
            }
            r.bytes.append(piece.data(), static_cast<std::size_t>(got));
            if (r.bytes.size() >= MOST_READ) {
                r.capped = true;
                break;
            }
        }
    }
    close(fd);
    return r;
}

// Every member, as zlib reads gzip; false where it cannot.
bool gunzip(const std::uint8_t* file, std::size_t size, std::string& text)
{
    z_stream stream {};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        std::abort();
    stream.next_in = const_cast<std::uint8_t*>(file);
    stream.avail_in = static_cast<uInt>(size);
    bool whole = false;
    char out[65536];
    while (text.size() < MOST_READ) {
        stream.next_out = reinterpret_cast<Bytef*>(out);
        stream.avail_out = sizeof out;
        const int result = inflate(&stream, Z_NO_FLUSH);
        text.append(out, sizeof out - stream.avail_out);
        if (result == Z_STREAM_END) {
            whole = true;
            // Trailing zeros end the file; anything else must be a member.
            while (stream.avail_in > 0 && *stream.next_in == 0) {
                ++stream.next_in;
                --stream.avail_in;
            }
            if (stream.avail_in == 0)
                break;
            whole = false;
            if (stream.avail_in < 2 || stream.next_in[0] != 0x1F || stream.next_in[1] != 0x8B || inflateReset(&stream) != Z_OK)
                break;
            continue;
        }
        if (result != Z_OK)
            break;
    }
    inflateEnd(&stream);
    return whole;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t room = FORMAT_MARK_SIZE + data[0] % 64 * 97;
    const reading first = read_all(data + 1, size - 1, room);
    const reading again = read_all(data + 1, size - 1, 65536);
    if (first.capped || again.capped)
        return 0;
    if (first.ended != again.ended || (first.ended && first.bytes != again.bytes))
        std::abort();
    const bool gzip = size >= 3 && data[1] == 0x1F && data[2] == 0x8B;
    if (gzip) {
        std::string text;
        const bool whole = gunzip(data + 1, size - 1, text);
        // A mark in the text is taken out, and UTF-16 decoded: those are
        // the other targets'.
        const bool marked = text.starts_with("\xEF\xBB\xBF") || text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF");
        if (text.size() < MOST_READ && !marked && (whole != first.ended || (whole && text != first.bytes)))
            std::abort();
    }
    return 0;
}
