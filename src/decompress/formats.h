// The decompressors, one descriptor each, as the unpacker drives them:
// each wraps its library and says what went wrong in its own words.
#pragma once

#include <cstddef>
#include <memory>

#include "decompress/decompress.h"

// The most of a window (zstd) or dictionary (xz) a stream may ask for:
// zstd's own default limit. More is refused, so that memory stays bounded.
inline constexpr std::size_t LARGEST_WINDOW = std::size_t {128} << 20;

enum decode_result {
    DECODE_GOING,  // more input, or more room, is wanted
    DECODE_ENDED,  // a member, frame or stream ended where in now points
    DECODE_FAILED,  // the data are not what the format says
};

// What a decoder says of its input when it fails; ENOMEM where its own
// memory could not be had.
struct decode_failure {
    const char* reason = nullptr;
    int error = 0;
};

// The messages' reasons for one format, whole, so that they outlive the run.
struct format_texts {
    const char* corrupt;  // the data break the format's rules
    const char* checksum;  // ...or their check
    const char* cut_short;  // the input ends inside a member, frame or stream
    const char* trailing;  // bytes after the last one that are neither another nor zeros
    const char* window;  // a window or dictionary over LARGEST_WINDOW
    const char* not_built;  // this build has no decompressor for it
};

struct format_descriptor {
    compression format;
    const char* name;
    format_texts texts;
    // Whether bytes begin a member, frame or stream of this format; at
    // least FORMAT_MARK_SIZE are given, or all there are.
    bool (*begins)(std::span<const unsigned char> bytes);
    // A decoder, or null where this build has none. Throws std::bad_alloc.
    void* (*open)();
    void (*close)(void* decoder);
    // Decodes from in into out, moving both on and taking their lengths
    // down; fails with failed set.
    decode_result (*decode)(void* decoder, const unsigned char*& in, std::size_t& in_left, unsigned char*& out,
        std::size_t& out_left, decode_failure& failed);
    // Ready for the next member, frame or stream after DECODE_ENDED.
    bool (*restart)(void* decoder, decode_failure& failed);
};

// A decoder's state, made and started by start(state), which throws
// std::bad_alloc where it cannot be: nothing is left behind then.
template <typename State, typename Start> void* new_decoder(Start start)
{
    auto state = std::make_unique<State>();
    start(*state);
    return state.release();
}

// The most of a buffer handed to a library whose counts are 32 bits wide.
inline std::size_t within_32_bits(std::size_t length)
{
    constexpr std::size_t most = std::size_t {1} << 30;
    return length < most ? length : most;
}

extern const format_descriptor GZIP_FORMAT;
extern const format_descriptor ZSTD_FORMAT;
extern const format_descriptor BZIP2_FORMAT;
extern const format_descriptor XZ_FORMAT;

const format_descriptor& descriptor_of(compression format);
