// The platform layer on Windows: the C run-time's own functions.
#include "common/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

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

bool close_file(int fd)
{
    return _close(fd) == 0;
}

bool is_terminal(std::FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
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
