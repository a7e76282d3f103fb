#include <algorithm>
#include <cerrno>
#include <cstring>

#include <csv.h>

#include "convert/convert.h"

output_buffer::output_buffer(std::FILE* target)
    : file(target)
    , bytes(std::make_unique_for_overwrite<unsigned char[]>(OUTPUT_BUFFER_SIZE))
{
}

bool output_buffer::flush()
{
    if (error_number == 0 && used > 0) {
        errno = 0;
        if (std::fwrite(bytes.get(), 1, used, file) != used)
            error_number = errno != 0 ? errno : EIO;
    }
    used = 0;
    return error_number == 0;
}

void output_buffer::put(const unsigned char* data, std::size_t length)
{
    while (length > OUTPUT_BUFFER_SIZE - used) {
        const std::size_t room = OUTPUT_BUFFER_SIZE - used;
        std::memcpy(bytes.get() + used, data, room);
        used = OUTPUT_BUFFER_SIZE;
        data += room;
        length -= room;
        if (!flush())
            return;
    }
    std::memcpy(bytes.get() + used, data, length);
    used += length;
}

void output_buffer::put_quoted(const unsigned char* field, std::size_t length)
{
    // An empty field may come without a buffer, and libcsv writes nothing
    // for a null source.
    if (length == 0) {
        put('"');
        put('"');
        return;
    }
    // libcsv quotes straight into the buffer. A field too long for it is
    // quoted in parts, each part's quotes taken off where parts meet.
    constexpr std::size_t PART = (OUTPUT_BUFFER_SIZE - 2) / 2;
    bool first = true;
    while (length > 0) {
        const std::size_t part = std::min(length, PART);
        if (!first)
            --used;  // the previous part's closing quote
        if (OUTPUT_BUFFER_SIZE - used < 2 * part + 2 && !flush())
            return;
        unsigned char* at = bytes.get() + used;
        const std::size_t written = csv_write(at, OUTPUT_BUFFER_SIZE - used, field, part);
        if (first) {
            used += written;
        } else {
            std::memmove(at, at + 1, written - 1);  // this part's opening quote
            used += written - 1;
        }
        field += part;
        length -= part;
        first = false;
    }
}
