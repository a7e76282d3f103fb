#include "common/platform.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE* open_input_file(const char* path)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return nullptr;
    struct stat info { };
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

std::FILE* create_scratch_file()
{
    // The name is removed as soon as the file is open, and signals stay
    // blocked while it exists, so an interrupt can never leave it behind.
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);

    char name[] = "TEMPCSV.XXXXXX";
    const int fd = mkstemp(name);  // O_CREAT | O_EXCL: never an existing file
    int saved_errno = errno;
    if (fd >= 0)
        unlink(name);
    sigprocmask(SIG_SETMASK, &previous, nullptr);

    if (fd < 0) {
        errno = saved_errno;
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "w+b");
    if (file == nullptr) {
        saved_errno = errno;
        close(fd);
        errno = saved_errno;
    }
    return file;
}

bool is_terminal(std::FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}

bool equal_ignoring_case(const char* a, const char* b)
{
    return strcasecmp(a, b) == 0;
}

void upper_case(char* text)
{
    for (; *text != '\0'; ++text)
        *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

std::string program_path()
{
    std::string path(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
        if (length < 0)
            return {};
        if (static_cast<std::size_t>(length) < path.size()) {
            path.resize(static_cast<std::size_t>(length));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

path_parts split_path(const std::string& path)
{
    path_parts parts;
    const std::size_t slash = path.rfind('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    parts.dir = path.substr(0, name_start);
    const std::size_t dot = path.rfind('.');
    const std::size_t name_end = dot == std::string::npos || dot < name_start ? path.size() : dot;
    parts.base = path.substr(name_start, name_end - name_start);
    parts.ext = path.substr(name_end);
    return parts;
}

std::string join_path(const std::string& drive, const std::string& dir, const std::string& base, const std::string& ext)
{
    std::string path = drive + dir;
    if (!dir.empty() && dir.back() != '/')
        path += '/';
    path += base;
    if (!ext.empty() && ext.front() != '.')
        path += '.';
    return path + ext;
}

bool file_exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}
