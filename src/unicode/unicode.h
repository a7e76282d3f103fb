// UTF-16 and UTF-8. Files that begin with a UTF-16 mark are read as UTF-8
// and written back as UTF-16, by the kernels (kernels/kernels.h); on
// Windows, names and console text cross between the system's UTF-16 and
// the program's UTF-8 here.
#pragma once

#include <string>
#include <string_view>

// System text and names: a surrogate without its partner, which Windows
// allows in a name, is carried as the three bytes UTF-8 would give it, so
// that every name comes back as it was.
// A byte that begins no valid sequence becomes U+FFFD, or what stray says.
std::string utf8_from_wide(std::u16string_view wide);
std::u16string wide_from_utf8(std::string_view text, char16_t (*stray)(unsigned char) = nullptr);
