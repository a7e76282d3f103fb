#include <cstring>

#include "common/common.h"
#include "convert/convert.h"

namespace {

long long record_number()
{
    return static_cast<long long>(run_counters.records_done + 1);
}

void line_breaks_to_spaces(unsigned char* bytes, std::size_t length)
{
    for (unsigned char* p = bytes; p != bytes + length; ++p) {
        if (*p == '\n') {
            std::fprintf(stderr, MSG_LINE_BREAK_TO_SPACE, record_number());
            *p = ' ';
        } else if (*p == '\r') {
            *p = ' ';
        }
    }
}

std::size_t remove_line_breaks(unsigned char* bytes, std::size_t length)
{
    unsigned char* kept = bytes;
    for (const unsigned char* p = bytes; p != bytes + length; ++p) {
        if (*p == '\n')
            std::fprintf(stderr, MSG_LINE_BREAK_REMOVED, record_number());
        else if (*p != '\r')
            *kept++ = *p;
    }
    return static_cast<std::size_t>(kept - bytes);
}

// Only the first '|' is replaced; the message shows the field as it was,
// every byte of it, zero bytes included.
void replace_first_pipe(unsigned char* bytes, std::size_t length)
{
    auto* pipe = static_cast<unsigned char*>(std::memchr(bytes, '|', length));
    if (pipe == nullptr)
        return;
    std::printf(MSG_EXTRA_PIPE, record_number(), static_cast<long long>(run_counters.field_number));
    std::fwrite(bytes, 1, length, stdout);
    std::putc('\n', stdout);
    *pipe = ' ';
}

}  // namespace

std::size_t clean_field(unsigned char* bytes, std::size_t length)
{
    // An empty field may come with no buffer at all.
    if (length == 0)
        return 0;
    if (run_options.line_break_mode == LINE_BREAKS_TO_SPACE)
        line_breaks_to_spaces(bytes, length);
    else if (run_options.line_break_mode == LINE_BREAKS_REMOVE)
        length = remove_line_breaks(bytes, length);
    replace_first_pipe(bytes, length);
    return length;
}
