#include <cerrno>
#include <cstring>
#include <memory>

#include "convert/convert.h"

namespace {

constexpr std::size_t BUFFER_SIZE = 131072;

// Collects output bytes and hands them to the file in large blocks. The
// first failed write is kept, with its errno, and ends all further writing.
struct output_buffer {
    std::FILE* file;
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t used;
    int error_number;  // 0 while every write has succeeded

    bool flush()
    {
        if (error_number == 0 && used > 0) {
            if (std::fwrite(bytes.get(), 1, used, file) != used)
                error_number = errno != 0 ? errno : EIO;
        }
        used = 0;
        return error_number == 0;
    }

    void put(const unsigned char* data, std::size_t length)
    {
        while (length > BUFFER_SIZE - used) {
            const std::size_t room = BUFFER_SIZE - used;
            std::memcpy(bytes.get() + used, data, room);
            used = BUFFER_SIZE;
            data += room;
            length -= room;
            if (!flush())
                return;
        }
        std::memcpy(bytes.get() + used, data, length);
        used += length;
    }

    void put(char byte)
    {
        if (used == BUFFER_SIZE && !flush())
            return;
        bytes[used++] = static_cast<unsigned char>(byte);
    }
};

// Where the walk through the intermediate file stands.
enum class at {
    field_start,  // before a field's opening quote
    inside_field,
    after_quote,  // a quote inside a field: doubled, or the field's close
};

}  // namespace

finish_result finish_output(std::FILE* intermediate, std::FILE* output)
{
    std::rewind(intermediate);
    output_buffer out{output, std::make_unique_for_overwrite<unsigned char[]>(BUFFER_SIZE), 0, 0};
    const auto in = std::make_unique_for_overwrite<unsigned char[]>(BUFFER_SIZE);

    at state = at::field_start;
    std::size_t got;
    while (out.error_number == 0 && (got = std::fread(in.get(), 1, BUFFER_SIZE, intermediate)) > 0) {
        const unsigned char* p = in.get();
        const unsigned char* const end = p + got;
        while (p < end) {
            switch (state) {
            case at::field_start:
                if (*p == '"')
                    ++p;
                state = at::inside_field;
                break;
            case at::inside_field: {
                const auto* quote = static_cast<const unsigned char*>(std::memchr(p, '"', end - p));
                const unsigned char* stop = quote != nullptr ? quote : end;
                out.put(p, stop - p);
                p = stop;
                if (quote != nullptr) {
                    ++p;
                    state = at::after_quote;
                }
                break;
            }
            case at::after_quote:
                if (*p == '|') {
                    out.put('|');
                    state = at::field_start;
                } else if (*p == '\n') {
                    out.put('\r');
                    out.put('\n');
                    state = at::field_start;
                } else {
                    // A doubled quote inside the field stays doubled.
                    out.put('"');
                    out.put(static_cast<char>(*p));
                    state = at::inside_field;
                }
                ++p;
                break;
            }
        }
    }
    if (std::ferror(intermediate))
        return FINISH_READ_FAILED;
    if (!out.flush()) {
        errno = out.error_number;
        return FINISH_WRITE_FAILED;
    }
    if (std::fflush(output) != 0)
        return FINISH_WRITE_FAILED;
    return FINISH_OK;
}
