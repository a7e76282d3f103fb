#include <cstring>

#include "common/common.h"
#include "convert/convert.h"

namespace {

long long record_number()
{
    return static_cast<long long>(run_counters.records_done + 1);
}

// Most fields are a few bytes long, where a plain loop beats a library call.
unsigned char* find_pipe(unsigned char* bytes, std::size_t length)
{
    if (length >= 32)
        return static_cast<unsigned char*>(std::memchr(bytes, '|', length));
    for (unsigned char* p = bytes; p != bytes + length; ++p) {
        if (*p == '|')
            return p;
    }
    return nullptr;
}

// Both line-break passes note the first '|' on their way, so each field is
// walked once.
unsigned char* line_breaks_to_spaces(unsigned char* bytes, std::size_t length)
{
    unsigned char* pipe = nullptr;
    for (unsigned char* p = bytes; p != bytes + length; ++p) {
        if (*p == '\n') {
            std::fprintf(stderr, MSG_LINE_BREAK_TO_SPACE, record_number());
            *p = ' ';
        } else if (*p == '\r') {
            *p = ' ';
        } else if (*p == '|' && pipe == nullptr) {
            pipe = p;
        }
    }
    return pipe;
}

unsigned char* remove_line_breaks(unsigned char* bytes, std::size_t& length)
{
    unsigned char* pipe = nullptr;
    unsigned char* kept = bytes;
    for (const unsigned char* p = bytes; p != bytes + length; ++p) {
        if (*p == '\n') {
            std::fprintf(stderr, MSG_LINE_BREAK_REMOVED, record_number());
        } else if (*p != '\r') {
            if (*p == '|' && pipe == nullptr)
                pipe = kept;
            *kept++ = *p;
        }
    }
    length = static_cast<std::size_t>(kept - bytes);
    return pipe;
}

}  // namespace

std::size_t clean_field(unsigned char* bytes, std::size_t length)
{
    // An empty field may come with no buffer at all.
    if (length == 0)
        return 0;
    unsigned char* pipe;
    if (run_options.line_break_mode == LINE_BREAKS_TO_SPACE)
        pipe = line_breaks_to_spaces(bytes, length);
    else if (run_options.line_break_mode == LINE_BREAKS_REMOVE)
        pipe = remove_line_breaks(bytes, length);
    else
        pipe = find_pipe(bytes, length);

    // Only the first '|' is replaced; the message shows the field as it was,
    // every byte of it, zero bytes included.
    if (pipe != nullptr) {
        std::printf(MSG_EXTRA_PIPE, record_number(), static_cast<long long>(run_counters.field_number));
        std::fwrite(bytes, 1, length, stdout);
        std::putc('\n', stdout);
        *pipe = ' ';
    }
    return length;
}
