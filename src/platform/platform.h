// The few services that differ between operating systems. Everything the
// program needs from the platform goes through this header, so a Windows
// build can map it onto that system's own run-time functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// On POSIX every absolute path begins with '/', so a '/' only introduces an
// option once both paths have been given. On Windows '/' always does.
#ifdef _WIN32
inline constexpr bool SLASH_MAY_BEGIN_PATH = false;
#else
inline constexpr bool SLASH_MAY_BEGIN_PATH = true;
#endif

// What separates a path's folders, the first being the one joined with,
// and whether a path may begin with a drive ("C:").
#ifdef _WIN32
inline constexpr char PATH_SEPARATORS[] = "\\/";
inline constexpr bool PATHS_HAVE_DRIVES = true;
#else
inline constexpr char PATH_SEPARATORS[] = "/";
inline constexpr bool PATHS_HAVE_DRIVES = false;
#endif

// The device that swallows what is written to it, as messages name it.
#ifdef _WIN32
inline constexpr char NULL_DEVICE_NAME[] = "NUL";
#else
inline constexpr char NULL_DEVICE_NAME[] = "/dev/null";
#endif

// Data files are handled as descriptors and moved in large blocks, with
// no stream buffer copying in between.

// Opens a file for binary reading. A directory is refused with errno set to
// EISDIR, since reading one can only fail later with a vaguer message.
// Returns -1 with errno set on failure.
int open_input_file(const char* path);

// Creates a file for binary writing, or empties an existing one. Returns -1
// with errno set on failure.
int create_output_file(const char* path);

// Creates the intermediate file in the current directory, open for binary
// reading and writing, under a name no existing file or other run holds.
// It never outlives the process, however that ends. Returns -1 with errno
// set on failure.
int create_scratch_file();

// The size of an open regular file, so that one cut short while it is read
// can be told from one read to its end; -1 for anything else (a pipe, a
// device) or where it cannot be had.
std::int64_t regular_file_size(int fd);

// Reads up to room bytes: how many came, 0 at the end of the file, -1 with
// errno set on failure. An interrupted read is tried again.
std::ptrdiff_t read_some(int fd, void* into, std::size_t room);

// Reads up to room bytes from the given offset. Where threads share a file,
// each reads through a descriptor of its own (reopen_for_reading), since on
// Windows this moves the descriptor's position.
std::ptrdiff_t read_some_at(int fd, void* into, std::size_t room, std::uint64_t offset);

// A second descriptor for reading the open file, for another thread: one
// whose reads at an offset leave the first descriptor's position alone.
// -1 with errno set on failure.
int reopen_for_reading(int fd);

// Writes every byte, going on after interrupted and partial writes. False
// with errno set on failure.
bool write_all(int fd, const void* bytes, std::size_t length);

// Cuts the file to length bytes and goes on writing there. False with
// errno set on failure.
bool rewind_file(int fd, std::uint64_t length);

// Gives the file's bytes [from, to) back to the system, read as zeros from
// then on, so that their pages are neither kept nor written out. Only
// where the file system can do it in place (Linux); elsewhere, or where it
// fails, the bytes simply stay, which costs memory and nothing else.
void release_file_range(int fd, std::uint64_t from, std::uint64_t to);

// The durable mode's calls, each false with errno set on failure. A
// failure is final: the system may have dropped the bytes it was about,
// and no later call that succeeds says otherwise.
//
// Starts the file's bytes [from, to) on their way to storage without
// waiting for them (Linux), so that a flush at the end waits only for what
// the disk has not yet taken; elsewhere it does nothing.
bool start_writeback(int fd, std::uint64_t from, std::uint64_t to);
// Waits until the file's data, and what is needed to read them back, are
// on stable storage. A file with no storage of its own (a FIFO, a
// terminal, a character device) has nothing to wait for.
bool flush_file(int fd);

// Closes the file. False with errno set if that fails, which for a file
// written to can mean its last bytes were lost.
bool close_file(int fd);

// Closes a descriptor on every path out of a scope. A failed close of a
// file written to is checked where it matters, through release().
struct descriptor {
    int fd;
    explicit descriptor(int opened)
        : fd(opened)
    {
    }
    ~descriptor()
    {
        if (fd >= 0)
            close_file(fd);
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    int release()
    {
        const int kept = fd;
        fd = -1;
        return kept;
    }
};

// A new output written beside the old one and put in its place only when
// complete, so that the output is seen either as it was or whole. Until
// then the new file has no name, or, where the file system has no unnamed
// files, a hidden one that every exit removes, signals included.
struct staged_output {
    int fd = -1;  // -1: the output is to be written in place, or cannot be made
    // Nonzero: the output cannot be made at all (its folder is missing or
    // cannot be written, it is a directory, it cannot be written), and this
    // errno says why, as creating it would.
    int error = 0;
    std::string hidden_name;  // the new file's name meanwhile, where it needs one
    bool replaces = false;  // an output exists and will be replaced
    // Set by the caller: the durable mode. On commit the new file's data
    // reach stable storage before it takes the output's name, and the
    // folder's entry is flushed after.
    bool durable = false;
    // Windows: the new file is deleted with its handle, however the run
    // ends, and is kept, once complete, by a second name (a hard link).
    bool deleted_on_close = false;
};

// Stages a new output for path, open for writing, with the existing
// output's permission bits and group. Gives fd -1 where that cannot be done
// or must not be: the output is not a regular file (a device, a FIFO, a
// symbolic link), has more than one link or belongs to another user, or
// its directory cannot be written. Nothing is created then, and the output
// is to be written in place once the input is read, unless error says it
// cannot be: that is found out here, before any input is read.
staged_output stage_output(const char* path);

// Puts the staged output in place under path and closes it. False with
// errno set if that fails; the old output, if any, is then as it was, and
// the new file is gone. In the durable mode, a failed flush of the folder
// after the new output took its name is a failure too, with the new output
// in place.
bool commit_output(staged_output& output, const char* path);

// Drops the staged output, leaving nothing behind.
void discard_output(staged_output& output);

// Whether the descriptor is an interactive terminal (a console on Windows).
bool is_terminal(int fd);

// Whether both paths name one existing file, by whatever names: the same
// device and inode on POSIX, volume and file index on Windows.
bool same_file(const char* a, const char* b);

// Called first, before any file is opened. Gives each of the descriptors
// 0, 1 and 2 that the run was started without the null device, so that no
// file of the run takes its number and has messages written into it; a
// closed standard output or error still fails every write to it (EBADF).
// Writes to a pipe with no reader, or past the file size limit, fail with
// EPIPE and EFBIG rather than end the run by a signal. False, with errno
// set, if the null device cannot be opened.
bool claim_standard_descriptors();

// Sets up standard output and standard error for the program's messages:
// on POSIX their writes go on after an interruption, and the errno of the
// first write that fails is kept.
void prepare_console_streams();

// The program's messages go to standard output and standard error through
// these two alone. On POSIX they are the stream's own writes; on Windows a
// console is given the UTF-8 text as UTF-16, so that names show as typed,
// and a redirected stream gets the bytes as they are.
void console_write(std::FILE* stream, const void* bytes, std::size_t length);
#ifdef __MINGW32__
#define CONSOLE_PRINTF_FORMAT gnu_printf
#else
#define CONSOLE_PRINTF_FORMAT printf
#endif
void console_print(std::FILE* stream, const char* format, ...) __attribute__((format(CONSOLE_PRINTF_FORMAT, 2, 3)));

// Hands on what is held for the stream, as fflush does.
void console_flush(std::FILE* stream);

// Flushes the console stream and closes its file. Returns 0, or the errno
// of the first write to it that failed (EIO where none is known).
int finish_console_stream(std::FILE* stream);

// Case-insensitive comparison of two zero-terminated strings: true if equal.
bool equal_ignoring_case(const char* a, const char* b);

// Upper-cases a zero-terminated string in place.
void upper_case(char* text);

// A path in its four parts. drive is empty where paths have no drives; dir
// keeps its trailing separator and ext its leading dot, so joining the four
// gives the path back.
struct path_parts {
    std::string drive;
    std::string dir;
    std::string base;
    std::string ext;
};

// The full path of the running program; empty if it cannot be found.
std::string program_path();

path_parts split_path(const std::string& path);

// Joins the parts, adding a separator after dir and a dot before ext where
// they lack one.
std::string join_path(
    const std::string& drive, const std::string& dir, const std::string& base, const std::string& ext);

// Whether a file of that name exists. A name too long for the platform does
// not.
bool file_exists(const std::string& path);

// Opens a settings file for reading in text mode, as fopen does.
std::FILE* open_settings_file(const std::string& path);
