#include "e2e/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

scratch_dir::scratch_dir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/trovanex-test.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

scratch_dir::~scratch_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::set<std::string> scratch_dir::listing() const
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.insert(entry.path().filename().string());
    return names;
}

const program_under_test& under_test()
{
    static const program_under_test chosen = [] {
        const auto setting = [](const char* name) {
            const char* value = std::getenv(name);
            return std::string(value != nullptr ? value : "");
        };
        program_under_test p {TROVANEX_BINARY, "", false, false, ""};
        const std::string under = setting("TROVANEX_TEST_UNDER");
        if (under.empty())
            return p;
        p.program = setting("TROVANEX_TEST_PROGRAM");
        p.windows = under == "wine";
        p.qemu = under == "qemu";
        p.emulator = std::string(TROVANEX_SCRIPTS) + (p.windows ? "/wine-run" : "/qemu-run");
        p.units = setting("TROVANEX_TEST_UNITS");
        if ((!p.windows && !p.qemu) || p.program.empty() || (p.qemu && p.units.empty())) {
            std::cerr << "TROVANEX_TEST_UNDER is wine or qemu, with TROVANEX_TEST_PROGRAM, and under qemu "
                         "TROVANEX_TEST_UNITS\n";
            std::exit(2);
        }
        return p;
    }();
    return chosen;
}

namespace {

bool holds_unnamed_intermediate(pid_t pid)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        // Unnamed from the start (O_TMPFILE, shown as "#inode") or named
        // and then unlinked.
        const bool intermediate
            = target.find("/TEMPCSV.") != std::string::npos || target.find("/#") != std::string::npos;
        if (intermediate && target.ends_with(" (deleted)"))
            return true;
    }
    return false;
}

}  // namespace

bool wait_until_blocked(pid_t pid)
{
    for (int tries = 0; tries < 1000; ++tries) {
        std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
        const std::string stat((std::istreambuf_iterator<char>(stat_file)), {});
        const std::size_t name_end = stat.rfind(')');
        if (name_end != std::string::npos && name_end + 2 < stat.size() && stat[name_end + 2] == 'S'
            && holds_unnamed_intermediate(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string console(std::string text)
{
    if (!on_windows())
        return text;
    std::string lines;
    lines.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        if (c == '\n')
            lines += '\r';
        lines += c;
    }
    return lines;
}

namespace {

// Wine writes each line of its debug channels at once ("0024:err:channel:
// function text", without the thread before the process has one), between
// the program's own writes, which may end inside a line of theirs; a
// Windows name holds no ':', so no message of the program's looks like one.
//
// The length of the Wine line that begins at text[at], or 0: an optional
// thread ("0024:"), a class, a channel and a colon, then the rest of the
// line, its line feed included.
std::size_t wine_line_at(const std::string& text, std::size_t at)
{
    const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    const auto channel = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; };
    for (const bool thread : {true, false}) {
        std::size_t i = at;
        if (thread) {
            if (text.size() - at < 5 || !std::all_of(text.begin() + at, text.begin() + at + 4, hex) || text[at + 4] != ':')
                continue;
            i += 5;
        }
        for (const char* kind : {"err:", "fixme:", "warn:", "trace:"}) {
            if (text.compare(i, std::strlen(kind), kind) != 0)
                continue;
            std::size_t name = i + std::strlen(kind), end = name;
            while (end < text.size() && channel(text[end]))
                ++end;
            const std::size_t line_end = text.find('\n', end);
            if (end > name && end < text.size() && text[end] == ':' && line_end != std::string::npos)
                return line_end + 1 - at;
        }
    }
    return 0;
}

void take_out_wine_lines(run_result& result)
{
    std::string program;
    for (std::size_t at = 0; at < result.err.size();) {
        const std::size_t length = wine_line_at(result.err, at);
        if (length == 0) {
            program += result.err[at++];
        } else {
            result.wine += result.err.substr(at, length);
            at += length;
        }
    }
    result.err = program;
    if (!result.wine.empty())
        std::cerr << "Wine said, in a run that ended with status " << result.status << ":\n" << result.wine;
}

// Wine could not set the new process up (its first thread, say, when the
// address it needs for the shared user data was taken): the program never
// ran, and said nothing.
bool wine_could_not_start(const run_result& result)
{
    return result.status != 0 && result.out.empty() && result.err.empty()
        && result.wine.find("virtual_alloc_first_teb") != std::string::npos;
}

}  // namespace

bool can_drop_privileges()
{
    return geteuid() == 0;
}

running_program start_program(const std::string& dir, const std::vector<std::string>& args, const launch& how)
{
    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0
        || (how.standard_input_pipe && pipe2(in_pipe, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");

    const std::string& emulator = under_test().emulator;
    std::vector<std::string> argv_strings {how.argv0.empty() ? how.program : how.argv0};
    if (!emulator.empty()) {
        // The emulator takes argument 0 as qemu-user does.
        argv_strings = {emulator};
        if (!how.argv0.empty())
            argv_strings.insert(argv_strings.end(), {"-0", how.argv0});
        argv_strings.push_back(how.program);
    }
    const std::string& executed = emulator.empty() ? how.program : emulator;
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int null_fd = how.standard_input_pipe ? in_pipe[0] : open("/dev/null", O_RDONLY | O_CLOEXEC);
        int out_fd = out_pipe[1];
        if (!how.standard_output.empty()) {
            out_fd = open(how.standard_output.c_str(), O_WRONLY);
        } else if (how.standard_output_closed) {
            int unread[2];
            if (pipe(unread) != 0)
                _exit(126);
            close(unread[0]);
            out_fd = unread[1];
        }
        if (null_fd < 0 || out_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_pipe[1], 2) < 0
            || chdir(dir.c_str()) != 0)
            _exit(126);
        for (const int fd : how.closed_descriptors)
            close(fd);
        // SIGXFSZ as a shell leaves it: the program must make it a failed
        // write itself.
        if (how.file_size_limit > 0) {
            const rlimit limit {static_cast<rlim_t>(how.file_size_limit), static_cast<rlim_t>(how.file_size_limit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(126);
        }
        if (how.time_limit > 0)
            alarm(how.time_limit);
        if (how.memory_limit > 0) {
            const rlimit limit {static_cast<rlim_t>(how.memory_limit), static_cast<rlim_t>(how.memory_limit)};
            if (setrlimit(RLIMIT_AS, &limit) != 0)
                _exit(126);
        }
        for (const std::string& setting : how.environment) {
            const std::size_t equals = setting.find('=');
            if (setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1) != 0)
                _exit(126);
        }
        if (how.user == as_user::unprivileged && can_drop_privileges()
            && (setgroups(0, nullptr) != 0 || setgid(NOBODY_ID) != 0 || setuid(NOBODY_ID) != 0))
            _exit(126);
        execv(executed.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (in_pipe[0] >= 0)
        close(in_pipe[0]);
    return {pid, out_pipe[0], err_pipe[0], in_pipe[1], dir, args, how};
}

run_result wait_program(running_program program)
{
    run_result result {};
    pollfd fds[2] = {{program.out_fd, POLLIN, 0}, {program.err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    const auto out_limit = static_cast<std::size_t>(program.how.standard_output_read_limit);
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            std::size_t room = sizeof buffer;
            if (i == 0 && program.how.standard_output_read_limit >= 0)
                room = std::min(room, out_limit - result.out.size());
            const ssize_t got = room == 0 ? 0 : read(fds[i].fd, buffer, room);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int wait_status = 0;
    rusage usage {};
    wait4(program.pid, &wait_status, 0, &usage);
    if (program.in_fd >= 0)
        close(program.in_fd);
    result.peak_rss_kib = usage.ru_maxrss;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    if (!on_windows())
        return result;
    take_out_wine_lines(result);
    static constexpr int MOST_STARTS = 3;
    static thread_local int starts = 1;
    if (wine_could_not_start(result) && starts < MOST_STARTS) {
        std::cerr << "Wine could not start the program; it never ran, and is started again\n";
        ++starts;
        result = wait_program(start_program(program.dir, program.args, program.how));
        --starts;
    }
    return result;
}

run_result run_program(const std::string& dir, const std::vector<std::string>& args, const launch& how)
{
    return wait_program(start_program(dir, args, how));
}

namespace {

// The names on the line of --version's output that begins with heading.
std::vector<std::string> listed_by_version(const std::string& heading)
{
    const scratch_dir dir;
    const run_result version = run_program(dir.path, {"--version"});
    std::vector<std::string> names;
    const std::size_t line = version.out.find("\n" + heading);
    if (line == std::string::npos)
        return names;
    const std::size_t from = line + 1 + heading.size();
    std::istringstream listed(version.out.substr(from, version.out.find('\n', from) - from));
    for (std::string name; listed >> name;)
        names.push_back(name);
    return names;
}

}  // namespace

const std::vector<std::string>& program_vector_units()
{
    static const std::vector<std::string> units = listed_by_version("vector units:");
    return units;
}

const std::vector<std::string>& program_formats()
{
    static const std::vector<std::string> formats = listed_by_version("compressed input:");
    return formats;
}
