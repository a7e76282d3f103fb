// Runs the built program in a directory of its own and collects what it
// did: exit status, both streams, and the files it left.
#pragma once

#include <sys/types.h>

#ifndef TROVANEX_BINARY
#error "TROVANEX_BINARY must name the native program"
#endif

#include <set>
#include <string>
#include <vector>

// The program under test: the native build, unless TROVANEX_TEST_UNDER
// names how to run another system's, TROVANEX_TEST_PROGRAM: "wine" for a
// trovanex.exe, where the tests expect Windows' console line ends and skip
// the cases that need POSIX; "qemu" for a Linux program of another
// architecture, whose vector units TROVANEX_TEST_UNITS lists, and where the
// cases only a native run can show are skipped. One build of the tests
// serves every leg.
struct program_under_test {
    std::string program;
    std::string emulator;  // scripts/wine-run or scripts/qemu-run; empty: run natively
    bool windows = false;
    bool qemu = false;
    std::string units;  // under qemu, the units it must list
};
const program_under_test& under_test();

inline bool on_windows()
{
    return under_test().windows;
}

struct run_result {
    int status;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
    long peak_rss_kib;
    // Under Wine, the lines of Wine's own error channel, which come on the
    // program's standard error and are taken out of err: printed with the
    // test's output, so that a failure of Wine's is told from the program's.
    std::string wine;
};

// A fresh temporary directory, removed with everything in it at the end.
struct scratch_dir {
    std::string path;
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    std::string at(const std::string& name) const { return path + "/" + name; }
    std::set<std::string> listing() const;
};

// Who the program runs as: the tests' own user, or, when the tests run as
// root, the unprivileged user nobody, for cases that need permission bits
// to count.
enum class as_user { self, unprivileged };

// How to start the program, where a test needs more than the defaults.
struct launch {
    as_user user = as_user::self;
    std::string program = under_test().program;  // the file executed
    std::string argv0;  // its argument 0; empty: program
    long file_size_limit = 0;  // bytes any one file may grow to (as ulimit -f sets it); 0: no limit
    long memory_limit = 0;  // bytes of address space; 0: no limit
    std::string standard_output;  // a file standard output goes to instead of the collected pipe
    bool standard_output_closed = false;  // standard output is a pipe nobody reads
    // Standard output's pipe is closed once this many bytes have been read
    // from it, as `| head -c N` does; -1: all is read.
    long standard_output_read_limit = -1;
    std::vector<int> closed_descriptors;  // of 0, 1 and 2: started without these
    bool standard_input_pipe = false;  // a pipe held open and never written, as a batch job's
    unsigned time_limit = 0;  // seconds before SIGALRM ends a run that hangs; 0: none
    std::vector<std::string> environment;  // NAME=value, added to the program's environment
};

// A started run whose streams are collected when it is waited for, and
// how it was started: Wine now and then cannot set a new process up at all,
// and such a run, which never began, is started again.
struct running_program {
    pid_t pid;
    int out_fd;
    int err_fd;
    int in_fd;  // the write end of standard_input_pipe, or -1
    std::string dir;
    std::vector<std::string> args;
    launch how;
};

inline launch unprivileged()
{
    launch how;
    how.user = as_user::unprivileged;
    return how;
}

// Starts the program in dir with the given arguments (argument 0 is added
// in front) and standard input from /dev/null, unless how says otherwise.
running_program start_program(const std::string& dir, const std::vector<std::string>& args, const launch& how = {});
run_result wait_program(running_program program);

run_result run_program(const std::string& dir, const std::vector<std::string>& args, const launch& how = {});

// The vector units the program under test runs here, as its --version
// lists them, narrowest first.
const std::vector<std::string>& program_vector_units();

// The compressed formats the program under test reads, as its --version
// lists them.
const std::vector<std::string>& program_formats();

// Waits until the process sleeps in a system call (on a FIFO, say) holding
// its intermediate file open with no name left in the directory. False if
// that never happens.
bool wait_until_blocked(pid_t pid);

// The bytes a program writes for text on its console streams: on Windows
// each line feed goes out as CR LF.
std::string console(std::string text);

#define SKIP_ON_WINDOWS(reason) \
    if (!on_windows()) { \
    } else \
        GTEST_SKIP() << "Windows: " << (reason)

// Built with a sanitizer, whose own memory and calls the program's would
// be mixed with.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UNDER_SANITIZER 1
#endif
#endif

// What only a native run can show: the program's own system calls and
// memory, which under qemu-user are the emulator's.
#define SKIP_UNDER_QEMU(reason) \
    if (!under_test().qemu) { \
    } else \
        GTEST_SKIP() << "qemu-user: " << (reason)

// Names a Windows program reading an ANSI command line would lose or change:
// outside any code page, past the Basic Multilingual Plane, a fullwidth
// hyphen that best-fit mapping makes '-', and a path past MAX_PATH, whose
// folders the caller makes (parent_of gives them).
inline const std::string LONG_FOLDERS = [] {
    std::string path;
    for (int i = 0; i < 6; ++i)
        path += std::string(45, static_cast<char>('a' + i)) + "/";
    return path;
}();
inline const std::string AWKWARD_NAMES[]
    = {"東京", "Łódź żółć", "\U0001F600 emoji", "\uFF0Dr", LONG_FOLDERS + "長い名前"};

// The folder part of a relative name, or "" for none.
inline std::string parent_of(const std::string& name)
{
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

// Whether as_user::unprivileged really drops privileges here.
bool can_drop_privileges();
inline constexpr unsigned NOBODY_ID = 65534;
