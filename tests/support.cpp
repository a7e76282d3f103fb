#include "support.h"

#include "common/common.h"

#include <cstdarg>
#include <fstream>
#include <iterator>
#include <stdexcept>

std::string fmt(const char* format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.pop_back();
    return text;
}

std::string summary(long long records)
{
    return fmt(MSG_SUMMARY, records);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string read_stream(std::FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string bytes;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    return bytes;
}

std::FILE* stream_with(std::string_view bytes)
{
    std::FILE* file = std::tmpfile();
    if (file == nullptr)
        throw std::runtime_error("tmpfile failed");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

int descriptor_of(std::FILE* file)
{
#ifdef _WIN32
    return _fileno(file);
#else
    return fileno(file);
#endif
}

std::string utf16_of(std::string_view utf8, bool big_endian)
{
    std::string out;
    const auto unit = [&](char32_t u) {
        const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
        out += big_endian ? std::string {high, low} : std::string {low, high};
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = n == 1 ? lead : lead & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += n;
        if (c < 0x10000) {
            unit(c);
        } else {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}
