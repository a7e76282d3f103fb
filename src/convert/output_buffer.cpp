#include "convert/output_buffer.h"

#include <cerrno>
#include <cstring>

#include "common/bits.h"
#include "kernels/kernels.h"
#include "platform/platform.h"

output_buffer::output_buffer(int target)
    : fd(target)
    , bytes(std::make_unique_for_overwrite<unsigned char[]>(OUTPUT_BUFFER_SIZE + OUTPUT_SLACK))
{
}

void output_buffer::with_utf16(input_encoding utf16)
{
    encoding = utf16;
    encoded = std::make_unique_for_overwrite<unsigned char[]>(2 * OUTPUT_BUFFER_SIZE);
}

bool output_buffer::flush(bool last)
{
    const unsigned char* out = bytes.get();
    std::size_t length = used;
    std::size_t kept = 0;  // the start of a UTF-8 sequence, for the next flush
    if (encoding != ENCODING_BYTES) {
        std::size_t consumed = 0;
        out = encoded.get();
        length = run_kernels.utf8_to_utf16(
            bytes.get(), used, encoding == ENCODING_UTF16_BE, encoded.get(), consumed, last);
        kept = used - consumed;
    }
    if (error_number == 0 && length > 0) {
        if (write_all(fd, out, length)) {
            written += length;
            if (writeback && written - written_back >= WRITEBACK_STEP) {
                if (!start_writeback(fd, written_back, written))
                    error_number = errno != 0 ? errno : EIO;
                written_back = written;
            }
            if (listener.written != nullptr)
                listener.written(listener.data, written - length, written);
        } else {
            error_number = errno != 0 ? errno : EIO;
        }
    }
    std::memmove(bytes.get(), bytes.get() + used - kept, kept);
    used = kept;
    return error_number == 0;
}

void output_buffer::take_back_to(std::uint64_t position)
{
    if (position >= written) {
        used = static_cast<std::size_t>(position - written);
    } else if (error_number == 0) {
        if (rewind_file(fd, position)) {
            written = position;
            used = 0;
        } else {
            error_number = errno != 0 ? errno : EIO;
        }
    }
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

void output_buffer::put_doubled(const unsigned char* data, std::size_t length)
{
    // The runs between quotes are copied whole, each quote written twice.
    // When even bytes of nothing but quotes fit, the copy goes straight into
    // the buffer; an empty field may come without a buffer at all.
    const unsigned char* const end = data + length;
    if (length < OUTPUT_BUFFER_SIZE / 2 && OUTPUT_BUFFER_SIZE - used >= 2 * length) {
        unsigned char* out = bytes.get() + used;
        while (data != end) {
            const unsigned char* const quote = find_byte(data, end, '"');
            move_bytes(out, data, static_cast<std::size_t>(quote - data));
            out += quote - data;
            if (quote == end)
                break;
            *out++ = '"';
            *out++ = '"';
            data = quote + 1;
        }
        used = static_cast<std::size_t>(out - bytes.get());
        return;
    }
    while (data != end) {
        const unsigned char* const quote = find_byte(data, end, '"');
        put(data, static_cast<std::size_t>(quote - data));
        if (quote == end)
            break;
        put('"');
        put('"');
        data = quote + 1;
    }
}
