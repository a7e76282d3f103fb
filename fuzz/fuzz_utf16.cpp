// Fuzz target: UTF-16 input against the same text in UTF-8. Any bytes after
// the mark are taken as UTF-16 units, lone surrogates and an odd last byte
// included. Where they are valid UTF-16, the conversion must give exactly
// what the text in UTF-8 (with its own mark) gives, encoded back in the
// input's byte order, and count the same records; where they are not, the
// first pass must refuse them.
//
// Input layout: byte 0 chooses the byte order (bit 0), the option and the
// scans, byte 1 the most of a field held whole; the rest follows the mark.
#include <cerrno>
#include <cstdint>
#include <string>

#include "common/common.h"
#include "in_memory.h"

namespace {

// The units as UTF-8, the plain way; false where they are not UTF-16.
bool plain_utf8(std::string_view units, bool big_endian, std::string& text)
{
    if (units.size() % 2 != 0)
        return false;
    const auto unit = [&](std::size_t i) -> char32_t {
        const auto a = static_cast<unsigned char>(units[i]), b = static_cast<unsigned char>(units[i + 1]);
        return big_endian ? (a << 8) | b : (b << 8) | a;
    };
    for (std::size_t i = 0; i < units.size(); i += 2) {
        char32_t c = unit(i);
        if (c >= 0xDC00 && c <= 0xDFFF)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 2 >= units.size() || unit(i + 2) < 0xDC00 || unit(i + 2) > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        }
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            text += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
                static_cast<char>(0x80 | (c & 0x3F))};
        } else {
            text += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
                static_cast<char>(0x80 | (c >> 6 & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const bool big_endian = (data[0] & 1) != 0;
    const int mode = line_break_mode_of(static_cast<unsigned char>(data[0] >> 1));
    const std::size_t limit = field_limit_of(data[1]);
    const std::string_view units(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::string mark = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    const std::size_t block = SPLIT_SMALLEST_BLOCK + size * 7 % 1500;
    const vector_unit one = vector_unit_of(data[0] >> 3 & 1), other = vector_unit_of(~data[0] >> 3 & 1);

    const in_memory_run run = convert_in_memory(mark + std::string(units), mode, block, one, other, limit);
    const std::int64_t records = run_counters.records_done;
    std::string text;
    if (!plain_utf8(units, big_endian, text)) {
        check(run.pass.outcome == PASS_INPUT_INVALID && run.pass.error == EILSEQ, "invalid UTF-16 was not refused");
        return 0;
    }
    check(run.pass.outcome == PASS_OK && run.finished.outcome == PASS_OK, "a pass failed");

    // The UTF-8 twin holds fields whole: the two readings must agree.
    const in_memory_run utf8 = convert_in_memory("\xEF\xBB\xBF" + text, mode, block, other, one, HELD_FIELD_LIMIT);
    check(utf8.output.starts_with("\xEF\xBB\xBF"), "the UTF-8 mark was not written back");
    std::string expected;
    check(plain_utf8(run.output, big_endian, expected), "the output is not UTF-16");
    check(expected == utf8.output, "the output differs from the UTF-8 conversion");
    check(records == run_counters.records_done, "the record count differs from the UTF-8 conversion");
    check(run.out == utf8.out && run.err == utf8.err, "the messages differ from the UTF-8 conversion's");
    check(run.pass.unclosed_record == utf8.pass.unclosed_record, "the unclosed-quote report differs");
    return 0;
}
