#include "platform/platform.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

int open_input_file(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info { };
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

int create_output_file(const char* path)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

int create_scratch_file()
{
    // A file with no name at all, where the file system offers one: nothing
    // can leave it behind, not even SIGKILL.
    const int unnamed = open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return unnamed;

    // Elsewhere the name is removed as soon as the file is open, with
    // signals blocked while it exists.
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);

    char name[] = "TEMPCSV.XXXXXX";
    int fd = mkostemp(name, O_CLOEXEC);  // O_CREAT | O_EXCL: never an existing file
    int saved_errno = errno;
    if (fd >= 0 && unlink(name) != 0) {
        // A name that cannot go now might outlive the run: give up on it.
        saved_errno = errno;
        close(fd);
        unlink(name);
        fd = -1;
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = saved_errno;
    return fd;
}

std::int64_t regular_file_size(int fd)
{
    struct stat info { };
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return static_cast<std::int64_t>(info.st_size);
}

std::ptrdiff_t read_some(int fd, void* into, std::size_t room)
{
    for (;;) {
        const ssize_t got = read(fd, into, room);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

std::ptrdiff_t read_some_at(int fd, void* into, std::size_t room, std::uint64_t offset)
{
    for (;;) {
        const ssize_t got = pread(fd, into, room, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

int reopen_for_reading(int fd)
{
    // pread leaves the position alone: a second descriptor is enough.
    return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

bool rewind_file(int fd, std::uint64_t length)
{
    return ftruncate(fd, static_cast<off_t>(length)) == 0 && lseek(fd, static_cast<off_t>(length), SEEK_SET) >= 0;
}

void release_file_range(int fd, std::uint64_t from, std::uint64_t to)
{
#if defined(__linux__)
    if (to > from)
        static_cast<void>(fallocate(
            fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(to - from)));
#else
    static_cast<void>(fd);
    static_cast<void>(from);
    static_cast<void>(to);
#endif
}

bool start_writeback(int fd, std::uint64_t from, std::uint64_t to)
{
#if defined(__linux__)
    if (to <= from
        || sync_file_range(fd, static_cast<off_t>(from), static_cast<off_t>(to - from), SYNC_FILE_RANGE_WRITE) == 0)
        return true;
    // Not a file it can start (a pipe, say), or a system without it: the
    // flush at the end does all.
    return errno == ESPIPE || errno == EINVAL || errno == ENOSYS;
#else
    static_cast<void>(fd);
    static_cast<void>(from);
    static_cast<void>(to);
    return true;
#endif
}

bool flush_file(int fd)
{
    struct stat file { };
    if (fstat(fd, &file) != 0)
        return false;
    if (!S_ISREG(file.st_mode) && !S_ISBLK(file.st_mode))
        return true;
    // A new file's length is among what fdatasync writes, since its data
    // cannot be read back without it.
    return fdatasync(fd) == 0;
}

bool write_all(int fd, const void* bytes, std::size_t length)
{
    const auto* at = static_cast<const unsigned char*>(bytes);
    while (length > 0) {
        const ssize_t put = write(fd, at, length);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        at += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

bool close_file(int fd)
{
    // After an interrupted close the descriptor is gone on Linux; trying
    // again could close another file.
    return close(fd) == 0 || errno == EINTR;
}

bool is_terminal(int fd)
{
    return isatty(fd) != 0;
}

bool same_file(const char* a, const char* b)
{
    struct stat first {
    }, second {};
    return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

namespace {

// A console stream's descriptor and the errno of its first failed write.
// closed is set by claim_standard_descriptors, before anything is written;
// error is written by the stream's write function, on whichever thread
// prints (the first pass's, and the main thread's before and after it),
// and read by finish_console_stream at the end.
struct console_sink {
    int fd;
    int error;
    bool closed;  // the run was started without it: the null device holds its place
};
console_sink output_sink {1, 0, false};
console_sink error_sink {2, 0, false};

ssize_t write_to_sink(void* cookie, const char* bytes, std::size_t size)
{
    auto* sink = static_cast<console_sink*>(cookie);
    if (sink->closed) {
        sink->error = EBADF;
        return 0;
    }
    // After a failure later messages are still tried: a later one may say
    // more, such as which file the run failed on.
    // A failure is 0 bytes written, as fopencookie asks: the C library
    // takes a negative count for a length (a failed write of a block larger
    // than its buffer then crashed it).
    if (!write_all(sink->fd, bytes, size)) {
        if (sink->error == 0)
            sink->error = errno != 0 ? errno : EIO;
        return 0;
    }
    return static_cast<ssize_t>(size);
}

}  // namespace

bool claim_standard_descriptors()
{
    // In order, so that each open takes the lowest number free: the one
    // being claimed.
    for (const int fd : {0, 1, 2}) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null < 0)
            return false;
        if (null != fd) {
            const bool moved = dup2(null, fd) == fd;
            close(null);
            if (!moved)
                return false;
        }
        if (fd == 1)
            output_sink.closed = true;
        if (fd == 2)
            error_sink.closed = true;
    }
    // Such a write then fails with EPIPE or EFBIG, and is reported as any
    // failed write is.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

void prepare_console_streams()
{
    // The C library gives up on a write that a signal interrupts; these
    // streams go on.
    const cookie_io_functions_t functions {nullptr, write_to_sink, nullptr, nullptr};
    if (std::FILE* out = fopencookie(&output_sink, "w", functions))
        stdout = out;
    if (std::FILE* err = fopencookie(&error_sink, "w", functions))
        stderr = err;
}

void console_write(std::FILE* stream, const void* bytes, std::size_t length)
{
    // Each stream has one writer at a time, the main thread or, while a
    // pass runs, the messages' writer (convert/messages.cpp), which the
    // main thread waits for: the stream's lock can be skipped.
#if defined(__GLIBC__)
    fwrite_unlocked(bytes, 1, length, stream);
#else
    std::fwrite(bytes, 1, length, stream);
#endif
}

void console_print(std::FILE* stream, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stream, format, arguments);
    va_end(arguments);
}

void console_flush(std::FILE* stream)
{
    std::fflush(stream);
}

int finish_console_stream(std::FILE* stream)
{
    const bool flushed = std::fflush(stream) == 0 && std::ferror(stream) == 0;
    int error = flushed ? 0 : errno != 0 ? errno : EIO;
    console_sink* const sink = stream == stdout ? &output_sink : stream == stderr ? &error_sink : nullptr;
    if (sink != nullptr && sink->error != 0)
        error = sink->error;
    // A file on a network file system may say only now that writing failed.
    const int fd = sink != nullptr ? sink->fd : fileno(stream);
    if (error == 0 && fd >= 0 && close(fd) != 0 && errno != EINTR && errno != EBADF)
        error = errno;
    return error;
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

bool file_exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::FILE* open_settings_file(const std::string& path)
{
    return std::fopen(path.c_str(), "r");
}
