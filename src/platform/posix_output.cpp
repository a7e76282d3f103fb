// Staged outputs on POSIX: an unnamed file (O_TMPFILE) in the output's
// directory, given the output's name by linkat only when complete; where
// the file system has no unnamed files, a hidden name that a signal handler
// removes. In the durable mode the file's data are flushed before it is
// named, and its folder after.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// SIGABRT too: should the C library ever abort the run (it finds its heap
// broken, say), the hidden name still goes.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGABRT};

// The hidden name of a staged output while it has one, for the signal
// handler to remove. Set and cleared only with the ending signals blocked;
// read by the handler.
char pending_name[4096];
volatile std::sig_atomic_t name_pending = 0;

void remove_pending_and_end(int signal_number)
{
    if (name_pending != 0)
        unlink(pending_name);
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Keeps the ending signals off a section that must not be cut short.
struct signals_held {
    sigset_t previous;
    signals_held()
    {
        sigset_t ending;
        sigemptyset(&ending);
        for (const int s : ENDING_SIGNALS)
            sigaddset(&ending, s);
        pthread_sigmask(SIG_BLOCK, &ending, &previous);
    }
    ~signals_held() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
};

// Removes the hidden name when an ending signal comes, except for signals
// the run was started with ignored.
void watch_pending_name()
{
    for (const int s : ENDING_SIGNALS) {
        struct sigaction now { };
        sigaction(s, nullptr, &now);
        if (now.sa_handler == SIG_IGN)
            continue;
        struct sigaction handler { };
        handler.sa_handler = remove_pending_and_end;
        sigemptyset(&handler.sa_mask);
        sigaction(s, &handler, nullptr);
    }
}

std::string directory_of(const char* path)
{
    const char* const slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return ".";
    if (slash == path)
        return "/";
    return std::string(path, static_cast<std::size_t>(slash - path));
}

// A name in dir that no file has, for the moment a new output needs one.
// Called with the ending signals held.
int create_hidden(const std::string& dir, std::string& name)
{
    name = dir + "/.trovanex-" + std::to_string(getpid()) + "-XXXXXX";
    // A name the signal handler could not hold is not used at all.
    if (name.size() >= sizeof pending_name)
        return -1;
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) {
        std::memcpy(pending_name, name.c_str(), name.size() + 1);
        name_pending = 1;
    }
    return fd;
}

void forget_hidden()
{
    name_pending = 0;
}

mode_t creation_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Why the output could not be written in place, as creating it would say,
// found out without creating or emptying it; 0 if it could be.
int in_place_error(const char* path)
{
    if (*path == '\0')
        return ENOENT;
    struct stat info { };
    if (stat(path, &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return EISDIR;
        if (S_ISSOCK(info.st_mode))
            return ENXIO;
        return faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0 ? 0 : errno;
    }
    if (errno != ENOENT)
        return errno;
    // A symbolic link to nothing yet: opening it makes its target, where
    // the link says.
    struct stat link { };
    if (lstat(path, &link) == 0)
        return 0;
    return faccessat(AT_FDCWD, directory_of(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// A new file beside the output, as stage_output gives it, or fd -1.
staged_output stage_beside(const char* path)
{
    staged_output staged;
    const std::size_t length = std::strlen(path);
    if (length == 0 || path[length - 1] == '/')
        return staged;
    struct stat old { };
    if (lstat(path, &old) == 0) {
        if (!S_ISREG(old.st_mode) || old.st_nlink != 1 || old.st_uid != geteuid()
            || faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0)
            return staged;
        staged.replaces = true;
    } else if (errno != ENOENT) {
        return staged;
    }
    const std::string dir = directory_of(path);

    int fd = -1;
    // linkat names an unnamed file through /proc without privileges.
    if (access("/proc/self/fd", X_OK) == 0) {
        fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return staged;  // the directory cannot be written, for one
    }
    if (fd < 0) {
        const signals_held held;
        fd = create_hidden(dir, staged.hidden_name);
        if (fd < 0)
            return staged;
        watch_pending_name();
        fchmod(fd, creation_mode());
    }
    if (staged.replaces) {
        struct stat mine { };
        const bool same_group = fstat(fd, &mine) == 0 && (mine.st_gid == old.st_gid || fchown(fd, -1, old.st_gid) == 0);
        if (!same_group || fchmod(fd, old.st_mode & 07777) != 0) {
            staged.fd = fd;
            discard_output(staged);
            staged.replaces = false;
            return staged;
        }
    }
    staged.fd = fd;
    return staged;
}

}  // namespace

staged_output stage_output(const char* path)
{
    staged_output staged = stage_beside(path);
    if (staged.fd < 0)
        staged.error = in_place_error(path);
    return staged;
}

namespace {

// Flushes the folder that holds path, so that a name just given there
// survives a power cut.
bool flush_directory_of(const char* path)
{
    const int dir = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool flushed = fsync(dir) == 0;
    const int error = errno;
    close(dir);
    errno = error;
    return flushed;
}

// Gives the complete file open as fd the name path and closes it.
bool place_output(staged_output& output, int fd, const char* path)
{
    if (!output.hidden_name.empty()) {
        const signals_held held;
        if (close(fd) != 0 || rename(output.hidden_name.c_str(), path) != 0) {
            const int error = errno;
            unlink(output.hidden_name.c_str());
            forget_hidden();
            errno = error;
            return false;
        }
        forget_hidden();
        return true;
    }

    // The file is reached through a second descriptor, so that closing the
    // first, which is when some file systems report a failed write, comes
    // before the file is put in place.
    const int linked = dup(fd);
    if (linked < 0 || close(fd) != 0) {
        const int error = errno;
        if (linked >= 0)
            close(linked);
        errno = error;
        return false;
    }
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", linked);
    bool placed = false;
    if (!output.replaces) {
        placed = linkat(AT_FDCWD, proc_path, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
        if (!placed && errno != EEXIST) {
            const int error = errno;
            close(linked);
            errno = error;
            return false;
        }
    }
    if (!placed) {
        // An existing output is replaced by rename, which needs a name to
        // move: the new file has a hidden one for that moment only.
        const signals_held held;
        std::string name;
        const std::string dir = directory_of(path);
        for (int attempt = 0; attempt < 100 && !placed; ++attempt) {
            name = dir + "/.trovanex-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
            if (linkat(AT_FDCWD, proc_path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
                placed = true;
            else if (errno != EEXIST)
                break;
        }
        if (placed && rename(name.c_str(), path) != 0) {
            const int error = errno;
            unlink(name.c_str());
            errno = error;
            placed = false;
        }
    }
    const int error = errno;
    close(linked);  // the last descriptor: the file was closed once already
    errno = error;
    return placed;
}

}  // namespace

bool commit_output(staged_output& output, const char* path)
{
    const int fd = output.fd;
    if (output.durable && !flush_file(fd)) {
        const int error = errno;
        discard_output(output);
        errno = error;
        return false;
    }
    output.fd = -1;
    return place_output(output, fd, path) && (!output.durable || flush_directory_of(path));
}

void discard_output(staged_output& output)
{
    if (output.fd < 0)
        return;
    close(output.fd);
    output.fd = -1;
    if (!output.hidden_name.empty()) {
        const signals_held held;
        unlink(output.hidden_name.c_str());
        forget_hidden();
    }
}
