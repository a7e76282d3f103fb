#include <cstring>

#include "common/common.h"
#include "common/platform.h"
#include "convert/convert.h"

// A stretch of plain records becomes the intermediate file's bytes in one
// walk over its fields' ends: a quoted field already stands as the file
// has it, quotes doubled, and is copied whole; any other gets its quotes
// around it; commas become '|' and a record's end one line feed. Only a
// field that holds a marked byte, a '|' or a line break to clean, goes the
// careful way, through on_field, with the counters as it expects them.

namespace {

// Copies n bytes 32 at a time: both sides have room for up to 31 more.
inline unsigned char* copy_over(unsigned char* to, const unsigned char* from, std::size_t n)
{
    std::size_t done = 0;
    do {
        std::memcpy(to + done, from + done, 32);
        done += 32;
    } while (done < n);
    return to + n;
}

inline bool maybe_blank(unsigned char c)
{
    return c <= ' ' && (c == ' ' || c == '\t');
}

inline bool line_end(unsigned char c)
{
    return c == '\r' || c == '\n';
}

// The field [start, end) of the block as on_field expects it: without its
// quotes and with doubled quotes made one, or without its blanks.
void put_with_care(intermediate_writer& writer, unsigned char* bytes, std::size_t start, std::size_t end)
{
    unsigned char* field = bytes + start;
    std::size_t length = end - start;
    if (*field == '"') {
        field += 1;
        length = collapse_quotes(field, length - 2);
    } else {
        while (length > 0 && maybe_blank(field[0])) {
            ++field;
            --length;
        }
        while (length > 0 && maybe_blank(field[length - 1]))
            --length;
    }
    on_field(field, length, &writer);
}

}  // namespace

std::size_t on_plain_stretch(const plain_stretch& s, void* data)
{
    auto& writer = *static_cast<intermediate_writer*>(data);
    output_buffer& out = writer.out;
    unsigned char* const bytes = s.bytes;
    unsigned char* const base = out.bytes.get();
    unsigned char* o = base + out.used;
    std::size_t pos = s.start;
    std::size_t i = 0, m = 0;
    std::size_t records = 0;
    while (i < s.end_count) {
        // Blanks and empty lines between records give nothing.
        for (; maybe_blank(bytes[pos]) || line_end(bytes[pos]); ++pos)
            i += line_end(bytes[pos]);
        if (i >= s.end_count)
            break;
        std::int64_t field = 0;
        for (;;) {
            const std::size_t end = s.ends[i++];
            const std::size_t length = end - pos;
            ++field;
            if (static_cast<std::size_t>(base + OUTPUT_BUFFER_SIZE - o) < length + 4) {
                out.used = static_cast<std::size_t>(o - base);
                out.flush();
                o = base + out.used;
            }
            if ((m < s.marked_count && s.marked[m] < end) || length + 4 > OUTPUT_BUFFER_SIZE) {
                while (m < s.marked_count && s.marked[m] < end)
                    ++m;
                out.used = static_cast<std::size_t>(o - base);
                run_counters.field_number = field - 1;
                put_with_care(writer, bytes, pos, end);
                o = base + out.used;
            } else {
                // A quoted field begins and ends in a quote, which no blank
                // search passes, and takes its own quotes along.
                std::size_t first = pos, last = end;
                while (first < last && maybe_blank(bytes[first]))
                    ++first;
                while (last > first && maybe_blank(bytes[last - 1]))
                    --last;
                const bool bare = bytes[pos] != '"';
                *o = '|';
                o += field > 1;
                *o = '"';
                o += bare;
                o = copy_over(o, bytes + first, last - first);
                *o = '"';
                o += bare;
            }
            pos = end + 1;
            if (line_end(bytes[end])) {
                *o++ = '\n';
                ++records;
                run_counters.field_number = 0;
                if (++run_counters.records_done % 1000 == 0) {
                    console_print(stdout, MSG_PROGRESS, static_cast<long long>(run_counters.records_done));
                    console_flush(stdout);
                }
                break;
            }
        }
    }
    out.used = static_cast<std::size_t>(o - base);
    return records;
}
