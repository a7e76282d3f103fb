#include "common/platform.h"

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
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

std::FILE* create_scratch_file()
{
    // Signals stay blocked while the file has a name, so an interrupt can
    // never leave it behind.
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

bool equal_ignoring_case(const char* a, const char* b)
{
    return strcasecmp(a, b) == 0;
}

bool is_terminal(std::FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}
