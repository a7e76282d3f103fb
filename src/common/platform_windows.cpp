// The platform layer on Windows: the C run-time's own functions.
#include "common/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

std::FILE* open_input_file(const char* path)
{
    return std::fopen(path, "rb");
}

std::FILE* create_scratch_file()
{
    // _O_EXCL never opens an existing file; _O_TEMPORARY has the system
    // delete the file when its last handle closes, however the process ends.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char name[48];
        std::snprintf(name, sizeof name, "TEMPCSV.%d.%d", _getpid(), attempt);
        const int fd = _open(name, _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            std::FILE* file = _fdopen(fd, "w+b");
            if (file == nullptr)
                _close(fd);
            return file;
        }
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;
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
