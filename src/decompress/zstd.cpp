// zstd: frames one after another, skippable ones among them, each window
// held to LARGEST_WINDOW.
#include <cerrno>
#include <new>

#include "decompress/formats.h"

#if defined(TROVANEX_WITH_ZSTD)
#include <zstd.h>
#include <zstd_errors.h>
#endif

namespace {

bool begins_zstd(std::span<const unsigned char> bytes)
{
    if (bytes.size() < 4)
        return false;
    if (bytes[0] == 0x28 && bytes[1] == 0xB5 && bytes[2] == 0x2F && bytes[3] == 0xFD)
        return true;
    // A skippable frame: 0x184D2A50 to 0x184D2A5F, little-endian.
    return (bytes[0] & 0xF0) == 0x50 && bytes[1] == 0x2A && bytes[2] == 0x4D && bytes[3] == 0x18;
}

#if defined(TROVANEX_WITH_ZSTD)

constexpr int WINDOW_LOG_LIMIT = 27;  // 1 << 27 == LARGEST_WINDOW
static_assert((std::size_t {1} << WINDOW_LOG_LIMIT) == LARGEST_WINDOW);

void* open_zstd()
{
    ZSTD_DStream* stream = ZSTD_createDStream();
    if (stream == nullptr)
        throw std::bad_alloc();
    ZSTD_DCtx_setParameter(stream, ZSTD_d_windowLogMax, WINDOW_LOG_LIMIT);
    return stream;
}

void close_zstd(void* decoder)
{
    ZSTD_freeDStream(static_cast<ZSTD_DStream*>(decoder));
}

decode_result decode_zstd(void* decoder, const unsigned char*& in, std::size_t& in_left, unsigned char*& out,
    std::size_t& out_left, decode_failure& failed)
{
    ZSTD_inBuffer source {in, in_left, 0};
    ZSTD_outBuffer target {out, out_left, 0};
    const std::size_t result = ZSTD_decompressStream(static_cast<ZSTD_DStream*>(decoder), &target, &source);
    in += source.pos;
    in_left -= source.pos;
    out += target.pos;
    out_left -= target.pos;
    if (ZSTD_isError(result)) {
        switch (ZSTD_getErrorCode(result)) {
        case ZSTD_error_memory_allocation:
            failed.error = ENOMEM;
            break;
        case ZSTD_error_checksum_wrong:
            failed.reason = ZSTD_FORMAT.texts.checksum;
            break;
        case ZSTD_error_frameParameter_windowTooLarge:
            failed.reason = ZSTD_FORMAT.texts.window;
            break;
        default:
            failed.reason = ZSTD_FORMAT.texts.corrupt;
            break;
        }
        return DECODE_FAILED;
    }
    // 0: a frame is whole, and all of it handed out.
    return result == 0 ? DECODE_ENDED : DECODE_GOING;
}

bool restart_zstd(void*, decode_failure&)
{
    return true;  // the next frame begins on its own
}

#define ZSTD_DECODER open_zstd, close_zstd, decode_zstd, restart_zstd
#else
#define ZSTD_DECODER nullptr, nullptr, nullptr, nullptr
#endif

}  // namespace

const format_descriptor ZSTD_FORMAT = {
    COMPRESSION_ZSTD,
    "zstd",
    {
        "its zstd data are corrupt",
        "its zstd data fail their checksum",
        "its zstd data are cut short",
        "after its last zstd frame come bytes that are not zstd",
        "its zstd frame needs a window of over 128 MiB, more than trovanex allows",
        "it is zstd, which this build of trovanex cannot read; decompress it first",
    },
    begins_zstd,
    ZSTD_DECODER,
};
