// gzip: members one after another, each checked by its CRC and length, as
// gzip itself and BGZF write them. ISA-L's inflate where the build has it
// (several times zlib's speed), else zlib's.
#include <cerrno>
#include <new>
#include <string_view>

#include "decompress/formats.h"

#if defined(TROVANEX_WITH_ISAL)
#include <isa-l/igzip_lib.h>
#elif defined(TROVANEX_WITH_ZLIB)
#include <zlib.h>
#endif

namespace {

bool begins_gzip(std::span<const unsigned char> bytes)
{
    return bytes.size() >= 2 && bytes[0] == 0x1F && bytes[1] == 0x8B;
}

#if defined(TROVANEX_WITH_ISAL)

void start_member(inflate_state& state)
{
    isal_inflate_init(&state);
    state.crc_flag = ISAL_GZIP;  // the header parsed, the trailer checked
}

void* open_gzip()
{
    return new_decoder<inflate_state>(start_member);
}

void close_gzip(void* decoder)
{
    delete static_cast<inflate_state*>(decoder);
}

decode_result decode_gzip(void* decoder, const unsigned char*& in, std::size_t& in_left, unsigned char*& out,
    std::size_t& out_left, decode_failure& failed)
{
    auto& state = *static_cast<inflate_state*>(decoder);
    const std::size_t in_given = within_32_bits(in_left);
    const std::size_t out_given = within_32_bits(out_left);
    state.next_in = const_cast<unsigned char*>(in);
    state.avail_in = static_cast<std::uint32_t>(in_given);
    state.next_out = out;
    state.avail_out = static_cast<std::uint32_t>(out_given);
    const int result = isal_inflate(&state);
    in_left -= in_given - state.avail_in;
    in = state.next_in;
    out_left -= out_given - state.avail_out;
    out = state.next_out;
    if (result == ISAL_INCORRECT_CHECKSUM) {
        failed.reason = GZIP_FORMAT.texts.checksum;
        return DECODE_FAILED;
    }
    if (result < 0 || result == ISAL_NEED_DICT) {
        failed.reason = GZIP_FORMAT.texts.corrupt;
        return DECODE_FAILED;
    }
    return state.block_state == ISAL_BLOCK_FINISH ? DECODE_ENDED : DECODE_GOING;
}

bool restart_gzip(void* decoder, decode_failure&)
{
    start_member(*static_cast<inflate_state*>(decoder));
    return true;
}

#elif defined(TROVANEX_WITH_ZLIB)

void* open_gzip()
{
    return new_decoder<z_stream>([](z_stream& stream) {
        if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)  // 16: gzip's header and trailer
            throw std::bad_alloc();
    });
}

void close_gzip(void* decoder)
{
    auto* stream = static_cast<z_stream*>(decoder);
    inflateEnd(stream);
    delete stream;
}

decode_result decode_gzip(void* decoder, const unsigned char*& in, std::size_t& in_left, unsigned char*& out,
    std::size_t& out_left, decode_failure& failed)
{
    auto& stream = *static_cast<z_stream*>(decoder);
    const std::size_t in_given = within_32_bits(in_left);
    const std::size_t out_given = within_32_bits(out_left);
    stream.next_in = const_cast<unsigned char*>(in);
    stream.avail_in = static_cast<uInt>(in_given);
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(out_given);
    const int result = inflate(&stream, Z_NO_FLUSH);
    in_left -= in_given - stream.avail_in;
    in = stream.next_in;
    out_left -= out_given - stream.avail_out;
    out = stream.next_out;
    switch (result) {
    case Z_STREAM_END:
        return DECODE_ENDED;
    case Z_OK:
    case Z_BUF_ERROR:  // no progress possible: more input, or room, is wanted
        return DECODE_GOING;
    case Z_MEM_ERROR:
        failed.error = ENOMEM;
        return DECODE_FAILED;
    case Z_DATA_ERROR:
        // zlib names the failed check in its message.
        failed.reason = stream.msg != nullptr && std::string_view(stream.msg).find("check") != std::string_view::npos
            ? GZIP_FORMAT.texts.checksum
            : GZIP_FORMAT.texts.corrupt;
        return DECODE_FAILED;
    default:
        failed.reason = GZIP_FORMAT.texts.corrupt;
        return DECODE_FAILED;
    }
}

bool restart_gzip(void* decoder, decode_failure& failed)
{
    if (inflateReset(static_cast<z_stream*>(decoder)) == Z_OK)
        return true;
    failed.reason = GZIP_FORMAT.texts.corrupt;
    return false;
}

#endif

}  // namespace

#if defined(TROVANEX_WITH_ISAL) || defined(TROVANEX_WITH_ZLIB)
#define GZIP_DECODER open_gzip, close_gzip, decode_gzip, restart_gzip
#else
#define GZIP_DECODER nullptr, nullptr, nullptr, nullptr
#endif

const format_descriptor GZIP_FORMAT = {
    COMPRESSION_GZIP,
    "gzip",
    {
        "its gzip data are corrupt",
        "its gzip data fail their check (CRC or length)",
        "its gzip data are cut short",
        "after its last gzip member come bytes that are not gzip",
        "",
        "it is gzip, which this build of trovanex cannot read; decompress it first",
    },
    begins_gzip,
    GZIP_DECODER,
};
