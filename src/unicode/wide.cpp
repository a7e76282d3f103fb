// System text and names between the program's UTF-8 and Windows' UTF-16.
#include "unicode/code_points.h"
#include "unicode/unicode.h"

std::string utf8_from_wide(std::u16string_view wide)
{
    std::string text;
    text.reserve(wide.size() * 3);
    unsigned char bytes[4];
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (is_high_surrogate(c) && i + 1 < wide.size() && is_low_surrogate(wide[i + 1]))
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        const unsigned char* const end = put_utf8(bytes, c);
        text.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(end - bytes));
    }
    return text;
}

std::u16string wide_from_utf8(std::string_view text, char16_t (*stray)(unsigned char))
{
    std::u16string wide;
    wide.reserve(text.size());
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const utf8_sequence s = read_utf8(in + i, text.size() - i, true);
        if (s.kind != utf8_sequence::whole && stray != nullptr) {
            wide += stray(in[i]);
        } else if (s.code_point < 0x10000) {
            wide += static_cast<char16_t>(s.code_point);
        } else {
            wide += static_cast<char16_t>(0xD800 + ((s.code_point - 0x10000) >> 10));
            wide += static_cast<char16_t>(0xDC00 + ((s.code_point - 0x10000) & 0x3FF));
        }
        i += s.length;
    }
    return wide;
}
