// xz: streams one after another, each dictionary held to LARGEST_WINDOW
// (xz -9 asks for 64 MiB), each block checked as its stream says.
#include <cerrno>
#include <algorithm>
#include <iterator>
#include <new>

#include "decompress/formats.h"

#if defined(TROVANEX_WITH_XZ)
#include <lzma.h>
#endif

namespace {

bool begins_xz(std::span<const unsigned char> bytes)
{
    constexpr unsigned char mark[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
    return bytes.size() >= sizeof mark && std::equal(std::begin(mark), std::end(mark), bytes.begin());
}

#if defined(TROVANEX_WITH_XZ)

// The dictionary and the decoder's own few hundred KiB.
constexpr std::uint64_t MEMORY_LIMIT = LARGEST_WINDOW + (std::uint64_t {1} << 20);

void start_stream(lzma_stream& stream)
{
    stream = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&stream, MEMORY_LIMIT, 0) != LZMA_OK)
        throw std::bad_alloc();
}

void* open_xz()
{
    return new_decoder<lzma_stream>(start_stream);
}

void close_xz(void* decoder)
{
    auto* stream = static_cast<lzma_stream*>(decoder);
    lzma_end(stream);
    delete stream;
}

decode_result decode_xz(void* decoder, const unsigned char*& in, std::size_t& in_left, unsigned char*& out,
    std::size_t& out_left, decode_failure& failed)
{
    auto& stream = *static_cast<lzma_stream*>(decoder);
    stream.next_in = in;
    stream.avail_in = in_left;
    stream.next_out = out;
    stream.avail_out = out_left;
    const lzma_ret result = lzma_code(&stream, LZMA_RUN);
    in_left = stream.avail_in;
    in = stream.next_in;
    out_left = stream.avail_out;
    out = stream.next_out;
    switch (result) {
    case LZMA_STREAM_END:
        return DECODE_ENDED;
    case LZMA_OK:
    case LZMA_BUF_ERROR:  // no progress possible: more input, or room, is wanted
        return DECODE_GOING;
    case LZMA_MEM_ERROR:
        failed.error = ENOMEM;
        return DECODE_FAILED;
    case LZMA_MEMLIMIT_ERROR:
        failed.reason = XZ_FORMAT.texts.window;
        return DECODE_FAILED;
    default:
        failed.reason = XZ_FORMAT.texts.corrupt;
        return DECODE_FAILED;
    }
}

bool restart_xz(void* decoder, decode_failure& failed)
{
    auto& stream = *static_cast<lzma_stream*>(decoder);
    if (lzma_stream_decoder(&stream, MEMORY_LIMIT, 0) == LZMA_OK)
        return true;
    failed.error = ENOMEM;
    return false;
}

#define XZ_DECODER open_xz, close_xz, decode_xz, restart_xz
#else
#define XZ_DECODER nullptr, nullptr, nullptr, nullptr
#endif

}  // namespace

const format_descriptor XZ_FORMAT = {
    COMPRESSION_XZ,
    "xz",
    {
        "its xz data are corrupt, or fail their check",
        "its xz data are corrupt, or fail their check",
        "its xz data are cut short",
        "after its last xz stream come bytes that are not xz",
        "its xz stream needs a dictionary of over 128 MiB, more than trovanex allows",
        "it is xz, which this build of trovanex cannot read; decompress it first",
    },
    begins_xz,
    XZ_DECODER,
};
