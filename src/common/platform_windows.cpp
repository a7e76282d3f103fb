// The platform layer on Windows: the C run-time's own functions.
#include "common/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

int open_input_file(const char* path)
{
    return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int create_output_file(const char* path)
{
    return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

int create_scratch_file()
{
    // _O_EXCL never opens an existing file; _O_TEMPORARY has the system
    // delete the file when its last handle closes, however the process ends.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char name[48];
        std::snprintf(name, sizeof name, "TEMPCSV.%d.%d", _getpid(), attempt);
        const int fd
            = _open(name, _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The run-time's calls take at most an unsigned int of bytes at once.
constexpr std::size_t LARGEST_CALL = 1u << 30;

std::ptrdiff_t read_some(int fd, void* into, std::size_t room)
{
    return _read(fd, into, static_cast<unsigned>(room < LARGEST_CALL ? room : LARGEST_CALL));
}

std::ptrdiff_t read_some_at(int fd, void* into, std::size_t room, std::uint64_t offset)
{
    if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0)
        return -1;
    return read_some(fd, into, room);
}

bool write_all(int fd, const void* bytes, std::size_t length)
{
    const auto* at = static_cast<const unsigned char*>(bytes);
    while (length > 0) {
        const int put = _write(fd, at, static_cast<unsigned>(length < LARGEST_CALL ? length : LARGEST_CALL));
        if (put < 0)
            return false;
        if (put == 0) {
            errno = ENOSPC;
            return false;
        }
        at += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

bool write_all_at(int fd, const void* bytes, std::size_t length, std::uint64_t offset)
{
    return _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) >= 0 && write_all(fd, bytes, length);
}

bool close_file(int fd)
{
    return _close(fd) == 0;
}

bool is_terminal(int fd)
{
    return _isatty(fd) != 0;
}

bool same_file(const char* a, const char* b)
{
    const auto identity = [](const char* path, BY_HANDLE_FILE_INFORMATION& info) {
        const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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

void prepare_console_streams()
{
    // Windows has no interrupted writes; the C run-time's streams will do.
}

int finish_console_stream(std::FILE* stream)
{
    const bool flushed = std::fflush(stream) == 0 && std::ferror(stream) == 0;
    if (!flushed)
        return errno != 0 ? errno : EIO;
    return 0;
}

bool equal_ignoring_case(const char* a, const char* b)
{
    return _stricmp(a, b) == 0;
}

void upper_case(char* text)
{
    _strupr(text);
}

std::string program_path()
{
    return _pgmptr != nullptr ? _pgmptr : "";
}

path_parts split_path(const std::string& path)
{
    char drive[_MAX_DRIVE], dir[_MAX_DIR], base[_MAX_FNAME], ext[_MAX_EXT];
    if (_splitpath_s(path.c_str(), drive, sizeof drive, dir, sizeof dir, base, sizeof base, ext, sizeof ext) != 0)
        return {};
    return {drive, dir, base, ext};
}

std::string join_path(const std::string& drive, const std::string& dir, const std::string& base, const std::string& ext)
{
    char path[_MAX_PATH];
    // A name too long for the system comes back empty, so it never exists.
    if (_makepath_s(path, sizeof path, drive.c_str(), dir.c_str(), base.c_str(), ext.c_str()) != 0)
        return {};
    return path;
}

bool file_exists(const std::string& path)
{
    return !path.empty() && _access(path.c_str(), 0) == 0;
}
