// The platform layer on Windows. Names inside the program are UTF-8; here,
// at the edge, they become the system's UTF-16 for its wide calls, so that
// every name works as typed. Data files are the C run-time's descriptors
// over handles that this layer opens and reads itself.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <vector>

#include "common/bits.h"
#include "platform/windows_names.h"
#include "unicode/unicode.h"

int open_input_file(const char* path)
{
    const HANDLE file
        = CreateFileW(system_name(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return descriptor_for(file, _O_RDONLY);
}

int create_output_file(const char* path)
{
    const HANDLE file = CreateFileW(system_name(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    return descriptor_for(file, _O_WRONLY);
}

int create_scratch_file()
{
    // CREATE_NEW never opens an existing file; FILE_FLAG_DELETE_ON_CLOSE
    // has the system delete the file when its handle closes, however the
    // process ends.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::wstring name
            = L"TEMPCSV." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(attempt);
        const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
            CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return descriptor_for(file, 0);
    }
    errno = EEXIST;
    return -1;
}

namespace {

// The calls take at most a DWORD of bytes at once.
constexpr std::size_t LARGEST_CALL = 1u << 30;

DWORD call_size(std::size_t length)
{
    return static_cast<DWORD>(length < LARGEST_CALL ? length : LARGEST_CALL);
}

}  // namespace

std::ptrdiff_t read_some(int fd, void* into, std::size_t room)
{
    DWORD got = 0;
    if (ReadFile(handle_of(fd), into, call_size(room), &got, nullptr))
        return got;
    const DWORD error = GetLastError();
    if (error == ERROR_BROKEN_PIPE)  // the end of a pipe whose writer is gone
        return 0;
    errno = errno_for(error);
    return -1;
}

// The position is set, then read from: a read given an OVERLAPPED offset
// moves the position all the same, and under Wine costs a round trip to its
// server each time. Threads read through handles of their own.
std::ptrdiff_t read_some_at(int fd, void* into, std::size_t room, std::uint64_t offset)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle_of(fd), position, nullptr, FILE_BEGIN)) {
        errno = errno_for(GetLastError());
        return -1;
    }
    return read_some(fd, into, room);
}

int reopen_for_reading(int fd)
{
    // A handle of its own, with a position of its own, on the same file.
    return descriptor_for(ReOpenFile(handle_of(fd), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_FLAG_SEQUENTIAL_SCAN),
        _O_RDONLY);
}

bool write_all(int fd, const void* bytes, std::size_t length)
{
    const auto* at = static_cast<const unsigned char*>(bytes);
    while (length > 0) {
        DWORD put = 0;
        if (!WriteFile(handle_of(fd), at, call_size(length), &put, nullptr)) {
            errno = errno_for(GetLastError());
            return false;
        }
        if (put == 0) {
            errno = ENOSPC;
            return false;
        }
        at += put;
        length -= put;
    }
    return true;
}

bool rewind_file(int fd, std::uint64_t length)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(length);
    if (SetFilePointerEx(handle_of(fd), position, nullptr, FILE_BEGIN) && SetEndOfFile(handle_of(fd)))
        return true;
    errno = errno_for(GetLastError());
    return false;
}

void release_file_range(int, std::uint64_t, std::uint64_t)
{
    // Windows frees a range only in a sparse file; the intermediate file
    // keeps its bytes until it is closed.
}

bool start_writeback(int, std::uint64_t, std::uint64_t)
{
    // Windows' lazy writer starts on its own; FlushFileBuffers waits at the
    // end.
    return true;
}

bool flush_file(int fd)
{
    const HANDLE file = handle_of(fd);
    if (GetFileType(file) != FILE_TYPE_DISK)
        return true;  // the console, a pipe, NUL: nothing held to flush
    if (FlushFileBuffers(file))
        return true;
    errno = errno_for(GetLastError());
    return false;
}

bool close_file(int fd)
{
    return _close(fd) == 0;
}

bool same_file(const char* a, const char* b)
{
    const auto identity = [](const char* path, BY_HANDLE_FILE_INFORMATION& info) {
        const HANDLE file
            = CreateFileW(system_name(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        const bool known = GetFileInformationByHandle(file, &info) != 0;
        CloseHandle(file);
        return known;
    };
    BY_HANDLE_FILE_INFORMATION first {}, second {};
    return identity(a, first) && identity(b, second) && first.dwVolumeSerialNumber == second.dwVolumeSerialNumber
        && first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

namespace {

// Standard output or error: whether it is a console, the text held for it
// when it is not, and the errno of the first write to it that failed. Set
// up by prepare_console_streams; written by console_write and the flushes,
// for each stream by one thread at a time: the main thread or, while a
// pass runs, the messages' writer (convert/messages.cpp), which the main
// thread waits for.
struct console_sink {
    std::FILE* stream = nullptr;  // stdout and stderr are calls here: kept once
    HANDLE handle = nullptr;
    bool is_console = false;
    bool closed = false;  // the process was started without it
    int error = 0;
    // A redirected stream's text, with CR LF line ends as a console's has,
    // written out a block at a time: the run-time's text mode takes the
    // stream's lock for every call, and messages can run to millions.
    char held[65536];
    std::size_t used = 0;
};
console_sink output_sink;
console_sink error_sink;

void flush_sink(console_sink& sink)
{
    if (sink.closed && sink.used > 0)
        sink.error = EBADF;
    for (std::size_t done = 0; done < sink.used && sink.error == 0;) {
        DWORD put = 0;
        if (!WriteFile(sink.handle, sink.held + done, static_cast<DWORD>(sink.used - done), &put, nullptr))
            sink.error = errno_for(GetLastError());
        else if (put == 0)
            sink.error = ENOSPC;
        done += put;
    }
    sink.used = 0;
}

void hold(console_sink& sink, const unsigned char* text, std::size_t length)
{
    const unsigned char* const end = text + length;
    while (text != end) {
        if (sizeof sink.held - sink.used < 2)
            flush_sink(sink);
        // Up to a line feed, with room left for it to become two bytes.
        const std::size_t room = sizeof sink.held - sink.used - 1;
        const unsigned char* const limit = text + std::min(room, static_cast<std::size_t>(end - text));
        const unsigned char* const line_feed = find_byte(text, limit, '\n');
        std::memcpy(sink.held + sink.used, text, static_cast<std::size_t>(line_feed - text));
        sink.used += static_cast<std::size_t>(line_feed - text);
        text = line_feed;
        if (line_feed != limit) {
            sink.held[sink.used++] = '\r';
            sink.held[sink.used++] = '\n';
            ++text;
        }
    }
}

// The sink for a stream, once prepare_console_streams has set it up.
console_sink* sink_of(std::FILE* stream)
{
    return stream == output_sink.stream ? &output_sink : stream == error_sink.stream ? &error_sink : nullptr;
}

// A byte that is no part of UTF-8, as the console's own code page shows it:
// messages may show a field's bytes in whatever encoding the input had.
char16_t from_console_code_page(unsigned char byte)
{
    wchar_t shown = 0xFFFD;
    MultiByteToWideChar(GetConsoleOutputCP(), 0, reinterpret_cast<const char*>(&byte), 1, &shown, 1);
    return static_cast<char16_t>(shown);
}

}  // namespace

bool claim_standard_descriptors()
{
    // The C run-time holds descriptors 0, 1 and 2 for the standard handles
    // whether the process was given them or not (a missing one's handle is
    // INVALID_HANDLE_VALUE, or -2 in later run-times), so no file takes
    // their numbers. A write to a missing one fails: prepare_console_streams.
    return true;
}

std::int64_t regular_file_size(int fd)
{
    const HANDLE file = handle_of(fd);
    LARGE_INTEGER size;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size))
        return -1;
    return size.QuadPart;
}

bool is_terminal(int fd)
{
    DWORD mode;
    return GetConsoleMode(handle_of(fd), &mode) != 0;
}

void prepare_console_streams()
{
    for (const int fd : {1, 2}) {
        console_sink& sink = fd == 1 ? output_sink : error_sink;
        sink.stream = fd == 1 ? stdout : stderr;
        sink.handle = handle_of(fd);
        // Missing, or no handle of the process's (-2 is the run-time's mark
        // for none); a write to such a handle would reach no file, or the
        // wrong object.
        sink.closed = sink.handle == nullptr || sink.handle == INVALID_HANDLE_VALUE
            || sink.handle == reinterpret_cast<HANDLE>(-2)
            || (GetFileType(sink.handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR);
        sink.is_console = !sink.closed && is_terminal(fd);
    }
}

void console_write(std::FILE* stream, const void* bytes, std::size_t length)
{
    console_sink* const sink = sink_of(stream);
    if (sink == nullptr) {
        std::fwrite(bytes, 1, length, stream);
        return;
    }
    if (!sink->is_console) {
        hold(*sink, static_cast<const unsigned char*>(bytes), length);
        return;
    }
    const std::u16string text = wide_from_utf8({static_cast<const char*>(bytes), length}, from_console_code_page);
    for (std::size_t done = 0; done < text.size();) {
        DWORD written = 0;
        const auto piece = static_cast<DWORD>(text.size() - done < 16384 ? text.size() - done : 16384);
        if (!WriteConsoleW(sink->handle, text.data() + done, piece, &written, nullptr) || written == 0) {
            if (sink->error == 0)
                sink->error = errno_for(GetLastError());
            return;
        }
        done += written;
    }
}

void console_print(std::FILE* stream, const char* format, ...)
{
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    char small[512];
    const int length = std::vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        console_write(stream, small, static_cast<std::size_t>(length));
    } else {
        std::vector<char> large(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        console_write(stream, large.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
}

void console_flush(std::FILE* stream)
{
    if (console_sink* const sink = sink_of(stream))
        flush_sink(*sink);
}

int finish_console_stream(std::FILE* stream)
{
    console_flush(stream);
    const bool flushed = std::fflush(stream) == 0 && std::ferror(stream) == 0;
    int error = flushed ? 0 : errno != 0 ? errno : EIO;
    const console_sink* const sink = sink_of(stream);
    if (sink != nullptr && sink->error != 0)
        error = sink->error;
    return error;
}

bool equal_ignoring_case(const char* a, const char* b)
{
    return _stricmp(a, b) == 0;
}

void upper_case(char* text)
{
    // The whole text, not only its ASCII letters, where it is UTF-8 and its
    // upper case takes no more bytes than it has; else the ASCII letters.
    const std::size_t length = std::strlen(text);
    std::u16string wide = wide_from_utf8({text, length});
    if (!wide.empty() && utf8_from_wide(wide) == std::string_view(text, length)) {
        CharUpperBuffW(reinterpret_cast<wchar_t*>(wide.data()), static_cast<DWORD>(wide.size()));
        const std::string upper = utf8_from_wide(wide);
        if (upper.size() <= length) {
            std::memcpy(text, upper.c_str(), upper.size() + 1);
            return;
        }
    }
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z')
            *text = static_cast<char>(*text - 'a' + 'A');
    }
}

std::string program_path()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size())
            return utf8_from_system(std::wstring_view(path.data(), length));
        path.resize(path.size() * 2);
    }
}

bool file_exists(const std::string& path)
{
    // A name the system cannot hold is not found, as it should be.
    return !path.empty() && GetFileAttributesW(system_name(path.c_str()).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::FILE* open_settings_file(const std::string& path)
{
    return _wfopen(system_name(path.c_str()).c_str(), L"r");
}
