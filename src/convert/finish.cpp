#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "convert/convert.h"
#include "convert/scan.h"

namespace {

// Where the walk through the intermediate file stands.
enum class at {
    field_start,  // before a field's opening quote
    inside_field,
    after_quote,  // a quote inside a field: doubled, or the field's close
};

}  // namespace

finish_result finish_output(std::FILE* intermediate, std::FILE* output, bool byte_order_mark)
{
    // Each intermediate byte gives at most two output bytes, and the word
    // copy below may run 8 bytes ahead, so a piece's output always fits an
    // emptied buffer and the loop needs no bounds checks on it. A whole
    // number of 4 KiB blocks lets each read go straight to the piece.
    constexpr std::size_t PIECE = 15 * 4096;
    static_assert(2 * PIECE + 16 <= OUTPUT_BUFFER_SIZE);
    std::rewind(intermediate);
    output_buffer out(output);
    if (byte_order_mark)
        out.put(BYTE_ORDER_MARK, sizeof BYTE_ORDER_MARK);
    const auto in = std::make_unique_for_overwrite<unsigned char[]>(PIECE);

    at state = at::field_start;
    std::size_t got;
    while ((got = std::fread(in.get(), 1, PIECE, intermediate)) > 0) {
        if (OUTPUT_BUFFER_SIZE - out.used < 2 * got + 16 && !out.flush())
            break;
        unsigned char* o = out.bytes.get() + out.used;
        const unsigned char* p = in.get();
        const unsigned char* const end = p + got;
        while (p != end) {
            if (state == at::inside_field && end - p >= 8) {
                // Copy a word and keep what comes before its first quote.
                const std::uint64_t word = load_word(p);
                std::memcpy(o, &word, sizeof word);
                const std::uint64_t quotes = bytes_equal(word, '"');
                if (quotes == 0) {
                    p += 8;
                    o += 8;
                    continue;
                }
                const std::size_t run = first_flagged(quotes);
                p += run;
                o += run;
            }
            const unsigned char c = *p++;
            if (state == at::inside_field) {
                if (c == '"')
                    state = at::after_quote;
                else
                    *o++ = c;
            } else if (state == at::after_quote) {
                if (c == '"') {
                    // A doubled quote inside the field stays doubled.
                    *o++ = '"';
                    *o++ = '"';
                    state = at::inside_field;
                } else {
                    // The field's closing quote, then '|' or the line end.
                    if (c == '\n')
                        *o++ = '\r';
                    *o++ = c;
                    state = at::field_start;
                }
            } else {
                state = at::inside_field;  // c is the field's opening quote
            }
        }
        out.used = static_cast<std::size_t>(o - out.bytes.get());
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
