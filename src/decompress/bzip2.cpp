// bzip2: streams one after another, as pbzip2 and concatenation write
// them, each block checked by its CRC.
#include <cerrno>
#include <new>

#include "decompress/formats.h"

#if defined(TROVANEX_WITH_BZIP2)
#include <bzlib.h>
#endif

namespace {

bool begins_bzip2(std::span<const unsigned char> bytes)
{
    return bytes.size() >= 4 && bytes[0] == 'B' && bytes[1] == 'Z' && bytes[2] == 'h' && bytes[3] >= '1'
        && bytes[3] <= '9';
}

#if defined(TROVANEX_WITH_BZIP2)

void start_stream(bz_stream& stream)
{
    stream = {};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK)
        throw std::bad_alloc();
}

void* open_bzip2()
{
    return new_decoder<bz_stream>(start_stream);
}

void close_bzip2(void* decoder)
{
    auto* stream = static_cast<bz_stream*>(decoder);
    BZ2_bzDecompressEnd(stream);
    delete stream;
}

decode_result decode_bzip2(void* decoder, const unsigned char*& in, std::size_t& in_left, unsigned char*& out,
    std::size_t& out_left, decode_failure& failed)
{
    auto& stream = *static_cast<bz_stream*>(decoder);
    const std::size_t in_given = within_32_bits(in_left);
    const std::size_t out_given = within_32_bits(out_left);
    stream.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
    stream.avail_in = static_cast<unsigned>(in_given);
    stream.next_out = reinterpret_cast<char*>(out);
    stream.avail_out = static_cast<unsigned>(out_given);
    const int result = BZ2_bzDecompress(&stream);
    in_left -= in_given - stream.avail_in;
    in += in_given - stream.avail_in;
    out_left -= out_given - stream.avail_out;
    out += out_given - stream.avail_out;
    switch (result) {
    case BZ_STREAM_END:
        return DECODE_ENDED;
    case BZ_OK:
        return DECODE_GOING;
    case BZ_MEM_ERROR:
        failed.error = ENOMEM;
        return DECODE_FAILED;
    default:
        // A block's CRC is checked with its data: a mismatch is corrupt data.
        failed.reason = BZIP2_FORMAT.texts.corrupt;
        return DECODE_FAILED;
    }
}

bool restart_bzip2(void* decoder, decode_failure& failed)
{
    auto& stream = *static_cast<bz_stream*>(decoder);
    BZ2_bzDecompressEnd(&stream);
    stream = {};
    if (BZ2_bzDecompressInit(&stream, 0, 0) == BZ_OK)
        return true;
    failed.error = ENOMEM;
    return false;
}

#define BZIP2_DECODER open_bzip2, close_bzip2, decode_bzip2, restart_bzip2
#else
#define BZIP2_DECODER nullptr, nullptr, nullptr, nullptr
#endif

}  // namespace

const format_descriptor BZIP2_FORMAT = {
    COMPRESSION_BZIP2,
    "bzip2",
    {
        "its bzip2 data are corrupt, or fail their check",
        "its bzip2 data are corrupt, or fail their check",
        "its bzip2 data are cut short",
        "after its last bzip2 stream come bytes that are not bzip2",
        "",
        "it is bzip2, which this build of trovanex cannot read; decompress it first",
    },
    begins_bzip2,
    BZIP2_DECODER,
};
