// Every input and output call fails in turn. strace makes the Nth call of a
// kind fail with a chosen errno, for every N until a run goes through with
// no call failed; each run converts a small input with clean-up messages
// over an existing output, and then one whose fields go on in pieces: one
// with a pipe, read back to be shown, and blanks past a block that are
// written and taken back. A run then either succeeds with the right output,
// or fails with status 1 and a message naming the file, leaving no
// intermediate file and the old output as it was. Interrupted reads and
// writes are tried again, never reported. Calls that fail in the dynamic
// loader, before the program starts, are counted apart.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "common/common.h"
#include "e2e/harness.h"
#include "model.h"
#include "support.h"

namespace {

// strace fails the program's own calls: only natively, on Linux, with no
// sanitizer's calls among them.
#ifdef UNDER_SANITIZER
#define SKIP_UNLESS_STRACE_CAN_FAIL_CALLS() GTEST_SKIP() << "the sanitizers' own calls would be failed too"
#else
#define SKIP_UNLESS_STRACE_CAN_FAIL_CALLS()                                                                      \
    SKIP_ON_WINDOWS("strace is Linux's");                                                                        \
    SKIP_UNDER_QEMU("strace would fail the emulator's calls, not the program's");                                \
    if (std::system("strace -V >/dev/null 2>&1") != 0)                                                           \
    GTEST_SKIP() << "strace is not installed"
#endif

const std::string OLD_OUTPUT = "the previous output\r\n";

std::string input_with_messages()
{
    std::string text;
    for (int i = 0; i < 6000; ++i)
        text += std::to_string(i) + ",\"a|b\",\"line\r\nbreak, " + std::string(i % 50, 'x') + "\"\r\n";
    return text;
}

// A long field with a pipe, and blanks whose fate is known only after
// more than a block, at a field limit of a byte.
std::string input_in_pieces()
{
    return "1,\"a|" + std::string(200000, 'b') + "\"\r\n2,\"c\"" + std::string(300000, ' ') + ",d\r\n";
}

// The calls strace made fail, as it printed them. Its count of calls is
// kept per thread, so the Nth call of both passes' threads may fail.
std::vector<std::string> injected_calls(const scratch_dir& dir)
{
    std::vector<std::string> calls;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        if (!entry.path().filename().string().starts_with("trace"))
            continue;
        const std::string trace = read_file(entry.path().string());
        for (std::size_t at = trace.find("(INJECTED)"); at != std::string::npos;
             at = trace.find("(INJECTED)", at + 1)) {
            const std::size_t line = trace.rfind('\n', at) + 1;
            calls.push_back(trace.substr(line, at - line));
        }
    }
    return calls;
}

struct tally {
    int runs = 0;
    int injected = 0;
    int in_loader = 0;
    int succeeded = 0;
    int failed_as_said = 0;
};

TEST(Injection, EveryCallFailsInTurn)
{
    SKIP_UNLESS_STRACE_CAN_FAIL_CALLS();
    const struct {
        const char* call;
        const char* error;
        bool in_pieces;  // with input_in_pieces rather than input_with_messages
    } faults[]
        = {{"read", "EIO", false}, {"read", "EINTR", false}, {"pread64", "EIO", false}, {"pread64", "EINTR", false},
            {"write", "EIO", false}, {"write", "ENOSPC", false}, {"write", "EINTR", false}, {"openat", "EIO", false},
            {"close", "EIO", false}, {"linkat", "EIO", false}, {"rename", "EIO", false}, {"unlink", "EIO", false},
            {"pread64", "EIO", true}, {"write", "ENOSPC", true}, {"ftruncate", "EIO", true}, {"lseek", "EIO", true}};
    std::map<std::string, tally> tallies;
    for (const auto& fault : faults) {
        const std::string input = fault.in_pieces ? input_in_pieces() : input_with_messages();
        for (const char* option : {"", "-r"}) {
            const std::string converted
                = model_conversion(input, *option != '\0' ? LINE_BREAKS_TO_SPACE : LINE_BREAKS_KEEP).output;
            tally& t = tallies[std::string(fault.call) + " " + fault.error + (fault.in_pieces ? ", in pieces" : "")];
            for (int n = 1;; ++n) {
                scratch_dir dir;
                write_file(dir.at("in.csv"), input);
                write_file(dir.at("out.txt"), OLD_OUTPUT);
                launch how;
                how.program = "/usr/bin/strace";
                how.argv0 = "strace";
                if (fault.in_pieces)
                    how.environment = {"TROVANEX_FIELD_LIMIT=1"};
                std::vector<std::string> args {"-f", "-ff", "-o", "trace", "-y", "-e",
                    std::string("trace=") + fault.call, "-e",
                    std::string("inject=") + fault.call + ":error=" + fault.error + ":when=" + std::to_string(n),
                    TROVANEX_BINARY, "in.csv", "out.txt"};
                if (*option != '\0')
                    args.push_back(option);
                const run_result result = run_program(dir.path, args, how);
                const std::vector<std::string> calls = injected_calls(dir);
                ++t.runs;
                std::set<std::string> left;
                for (const std::string& name : dir.listing())
                    if (!name.starts_with("trace"))
                        left.insert(name);
                std::string trace = std::string(fault.call) + " " + fault.error + " at " + std::to_string(n) + " "
                    + option + ":\n" + result.err;
                for (const std::string& call : calls)
                    trace += call.substr(0, 80) + "\n";
                SCOPED_TRACE(trace);
                if (calls.empty()) {
                    // No call of the kind is left to fail: the run is whole.
                    EXPECT_EQ(result.status, 0);
                    EXPECT_TRUE(read_file(dir.at("out.txt")) == converted);
                    break;
                }
                ++t.injected;
                if (result.err.find("error while loading shared libraries") != std::string::npos) {
                    ++t.in_loader;
                    continue;
                }
                EXPECT_EQ(left, (std::set<std::string> {"in.csv", "out.txt"}));
                const std::string output = read_file(dir.at("out.txt"));
                if (result.status == 0) {
                    EXPECT_TRUE(output == converted);
                    ++t.succeeded;
                    continue;
                }
                EXPECT_EQ(result.status, 1);
                EXPECT_NE(std::string(fault.error), "EINTR") << "an interrupted call was reported";
                // Only the messages failed, not the conversion: standard
                // output says so, standard error cannot.
                const std::string failed = "Failed to ";
                const std::string console_failed = failed + "write file " + STANDARD_OUTPUT_NAME;
                bool only_console = true;
                for (std::size_t at = result.err.find(failed); at != std::string::npos;
                     at = result.err.find(failed, at + 1))
                    only_console = only_console && result.err.compare(at, console_failed.size(), console_failed) == 0;
                only_console = only_console && result.err.find(MSG_INPUT_READ_ERROR) == std::string::npos;
                const bool on_error_stream = std::any_of(calls.begin(), calls.end(),
                    [](const std::string& call) { return call.find("(2<") != std::string::npos; });
                if (only_console && on_error_stream) {
                    // What standard error would have said is lost with it.
                    EXPECT_TRUE(output == converted || output == OLD_OUTPUT);
                } else if (only_console) {
                    EXPECT_TRUE(output == converted);
                    EXPECT_NE(result.err.find(console_failed), std::string::npos);
                } else {
                    EXPECT_TRUE(output == OLD_OUTPUT);
                    const bool named = result.err.find(failed + "open file in.csv") != std::string::npos
                        || result.err.find(" file out.txt: ") != std::string::npos
                        || result.err.find(std::string(" file ") + INTERMEDIATE_NAME + ": ") != std::string::npos
                        || result.err.find(MSG_INPUT_READ_ERROR) != std::string::npos;
                    EXPECT_TRUE(named);
                }
                ++t.failed_as_said;
            }
        }
    }
    std::printf("| call and errno | runs | faults injected | in the loader | run succeeded | status 1, "
                "said so |\n|---|---|---|---|---|---|\n");
    for (const auto& [name, t] : tallies)
        std::printf("| %s | %d | %d | %d | %d | %d |\n", name.c_str(), t.runs, t.injected, t.in_loader, t.succeeded,
            t.failed_as_said);
}

// The durable mode: a flush that fails fails the run, and is never taken
// back by a later one. Before the new output has its name the old one
// stays; a failed flush of the folder comes after, with the new one placed.
TEST(Injection, AFailedFlushFailsTheDurableRun)
{
    SKIP_UNLESS_STRACE_CAN_FAIL_CALLS();
    // More than one writeback step of output, so that writeback is started.
    std::string input;
    for (int i = 0; i < 200000; ++i)
        input += std::to_string(i) + ",plain field,another plain field of some length\r\n";
    const std::string converted = model_conversion(input, LINE_BREAKS_KEEP).output;
    const std::string failed = "Failed to write file out.txt: Input/output error\n";
    const struct {
        const char* why;
        const char* call;  // failed on its first call; empty: none
        const char* old;  // the output before; nullptr: none
        bool in_place;  // out.txt a symbolic link, which is written through
        int status;
        bool placed;  // out.txt holds the conversion afterwards
    } rows[] = {
        {"all flushed", "", OLD_OUTPUT.c_str(), false, 0, true},
        {"the data's flush fails: the old output stays", "fdatasync", OLD_OUTPUT.c_str(), false, 1, false},
        {"the data's flush fails: no first output appears", "fdatasync", nullptr, false, 1, false},
        {"writeback cannot be started: the old output stays", "sync_file_range", OLD_OUTPUT.c_str(), false, 1, false},
        {"the folder's flush fails after the rename", "fsync", OLD_OUTPUT.c_str(), false, 1, true},
        {"written in place, its flush fails", "fdatasync", OLD_OUTPUT.c_str(), true, 1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        scratch_dir dir;
        write_file(dir.at("in.csv"), input);
        const std::string target = row.in_place ? "real.txt" : "out.txt";
        if (row.old != nullptr)
            write_file(dir.at(target), row.old);
        if (row.in_place) {
            ASSERT_EQ(symlink("real.txt", dir.at("out.txt").c_str()), 0);
        }
        launch how;
        how.environment = {"TROVANEX_SYNC=1"};
        std::vector<std::string> args {"in.csv", "out.txt"};
        if (*row.call != '\0') {
            how.program = "/usr/bin/strace";
            how.argv0 = "strace";
            args.insert(args.begin(), {"-f", "-o", "/dev/null", "-e", std::string("inject=") + row.call + ":error=EIO",
                                          TROVANEX_BINARY});
        }
        const run_result result = run_program(dir.path, args, how);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.err, row.status == 0 ? "" : failed);
        std::set<std::string> expected {"in.csv"};
        if (row.old != nullptr || row.placed)
            expected.insert(target);
        if (row.in_place)
            expected.insert("out.txt");
        EXPECT_EQ(dir.listing(), expected);
        if (expected.contains(target)) {
            EXPECT_TRUE(read_file(dir.at(target)) == (row.placed ? converted : OLD_OUTPUT));
        }
    }
}

}  // namespace
