#include <cerrno>
#include <cstring>

#include "common/platform.h"
#include "convert/convert.h"
#include "convert/scan.h"

output_buffer::output_buffer(int target)
    : fd(target)
    , bytes(std::make_unique_for_overwrite<unsigned char[]>(OUTPUT_BUFFER_SIZE))
{
}

bool output_buffer::flush()
{
    if (error_number == 0 && used > 0) {
        if (write_all(fd, bytes.get(), used)) {
            written += used;
            if (progress != nullptr)
                publish_written(*progress, written);
        } else {
            error_number = errno != 0 ? errno : EIO;
        }
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
    // The runs between quotes are copied whole, each quote written twice.
    // When even a field of nothing but quotes fits, the copy goes straight
    // into the buffer; an empty field may come without a buffer at all.
    const unsigned char* const end = field + length;
    if (length < OUTPUT_BUFFER_SIZE / 2 && OUTPUT_BUFFER_SIZE - used >= 2 * length + 2) {
        unsigned char* out = bytes.get() + used;
        *out++ = '"';
        while (field != end) {
            const unsigned char* const quote = find_byte(field, end, '"');
            std::memcpy(out, field, static_cast<std::size_t>(quote - field));
            out += quote - field;
            if (quote == end)
                break;
            *out++ = '"';
            *out++ = '"';
            field = quote + 1;
        }
        *out++ = '"';
        used = static_cast<std::size_t>(out - bytes.get());
        return;
    }
    put('"');
    while (field != end) {
        const unsigned char* const quote = find_byte(field, end, '"');
        put(field, static_cast<std::size_t>(quote - field));
        if (quote == end)
            break;
        put('"');
        put('"');
        field = quote + 1;
    }
    put('"');
}
