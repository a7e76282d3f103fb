// The output appears whole or not at all. Where it is a regular file (or
// new) in a directory that can be written, a run that ends at any moment
// leaves it as it was or complete, and nothing beside it; anyone looking at
// it meanwhile sees the old file or the new one. Where that cannot be done,
// it is written in place, after the first pass, as it always was.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "common/common.h"
#include "e2e/harness.h"
#include "model.h"
#include "support.h"

namespace {

using clock_type = std::chrono::steady_clock;

const std::string OLD_OUTPUT = "the previous output\r\n";

std::string big_input()
{
    std::string text;
    for (int i = 0; text.size() < (6u << 20); ++i)
        text += std::to_string(i) + ",\"quoted, text\",\"two\r\nlines\"\r\n";
    return text;
}

struct stat status_of(const std::string& path)
{
    struct stat info { };
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

// What is in the folder once a run has ended. Under Wine the server closes
// a killed program's files a moment after it is gone, and only then are
// the files marked for deletion deleted.
std::set<std::string> listing_after_run(const scratch_dir& dir)
{
    std::set<std::string> left = dir.listing();
    for (int tries = 0; on_windows() && tries < 500 && left.size() > 2; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        left = dir.listing();
    }
    return left;
}

// Runs are ended at random moments, by each ending signal, SIGKILL among
// them, over an existing output. The output is always the old one or the
// whole new one, and the folder holds nothing else. The one trace a
// SIGKILL can leave is the new output under a hidden name, complete, in the
// microseconds between naming the new file and renaming it over the old.
// On Windows every run is killed outright, as the task manager does.
TEST(Output, RunsEndedAtRandomMomentsLeaveTheOldOrTheNewOutput)
{
    scratch_dir dir;
    const std::string input = big_input();
    write_file(dir.at("in.csv"), input);
    const std::string converted = model_conversion(input, LINE_BREAKS_KEEP).output;

    // How long a whole run takes here, so that the moments cover all of it;
    // after one run, which may find the caches cold (or Wine's server not
    // yet started).
    write_file(dir.at("out.txt"), OLD_OUTPUT);
    ASSERT_EQ(run_program(dir.path, {"in.csv", "out.txt"}).status, 0);
    write_file(dir.at("out.txt"), OLD_OUTPUT);
    const auto started = clock_type::now();
    ASSERT_EQ(run_program(dir.path, {"in.csv", "out.txt"}).status, 0);
    const auto whole_run = clock_type::now() - started;
    ASSERT_EQ(read_file(dir.at("out.txt")), converted);

    std::mt19937 random(20261208);
    const std::vector<int> signals
        = on_windows() ? std::vector<int> {SIGKILL} : std::vector<int> {SIGINT, SIGTERM, SIGHUP, SIGKILL};
    std::map<std::string, int> outcomes;
    constexpr int RUNS = 48;
    for (int run = 0; run < RUNS; ++run) {
        write_file(dir.at("out.txt"), OLD_OUTPUT);
        const int signal_number = signals[run % std::size(signals)];
        const auto moment = whole_run * std::uniform_real_distribution<double>(0, 1.2)(random);
        const running_program program = start_program(dir.path, {"in.csv", "out.txt"});
        std::this_thread::sleep_for(moment);
        kill(program.pid, signal_number);
        const run_result result = wait_program(program);

        const std::string output = read_file(dir.at("out.txt"));
        const bool finished = result.status == 0;
        SCOPED_TRACE(std::string(strsignal(signal_number)) + " at "
            + std::to_string(std::chrono::duration<double, std::milli>(moment).count()) + " ms");
        EXPECT_TRUE(finished || result.status == 128 + signal_number) << result.status;
        EXPECT_TRUE(output == OLD_OUTPUT || output == converted) << output.size() << " bytes";
        if (finished) {
            EXPECT_EQ(output, converted);
        }
        std::set<std::string> left = listing_after_run(dir);
        for (const std::string& name : std::set<std::string>(left)) {
            if (signal_number == SIGKILL && name.starts_with(".trovanex-")) {
                EXPECT_EQ(read_file(dir.at(name)), converted);
                std::remove(dir.at(name).c_str());
                left.erase(name);
                outcomes["a SIGKILL between naming and renaming"] += 1;
            }
        }
        EXPECT_EQ(left, (std::set<std::string> {"in.csv", "out.txt"}));
        outcomes[finished              ? "finished"
                : output == OLD_OUTPUT ? "ended, old output kept"
                                       : "ended, new output in place"]
            += 1;
    }
    std::printf("%d runs of %.0f ms, ended between 0 and %.0f ms:", RUNS,
        std::chrono::duration<double, std::milli>(whole_run).count(),
        1.2 * std::chrono::duration<double, std::milli>(whole_run).count());
    for (const auto& [outcome, count] : outcomes)
        std::printf(" %s %d;", outcome.c_str(), count);
    std::printf("\n");
}

// Someone watching the output's size while a run replaces it sees the old
// size, then the new one, and nothing in between.
TEST(Output, AReaderSeesTheOldOutputOrTheNewOne)
{
    scratch_dir dir;
    const std::string input = big_input();
    write_file(dir.at("in.csv"), input);
    write_file(dir.at("out.txt"), OLD_OUTPUT);
    const std::string converted = model_conversion(input, LINE_BREAKS_KEEP).output;

    const running_program program = start_program(dir.path, {"in.csv", "out.txt"});
    std::set<off_t> sizes;
    int looks = 0;
    for (int status = 0; waitpid(program.pid, &status, WNOHANG) == 0; ++looks) {
        struct stat info { };
        if (stat(dir.at("out.txt").c_str(), &info) == 0)
            sizes.insert(info.st_size);
    }
    // The run has been reaped; its streams are closed and only read here.
    close(program.out_fd);
    close(program.err_fd);
    EXPECT_GT(looks, 10);
    EXPECT_EQ(read_file(dir.at("out.txt")), converted);
    for (const off_t size : sizes)
        EXPECT_TRUE(size == static_cast<off_t>(OLD_OUTPUT.size()) || size == static_cast<off_t>(converted.size()))
            << size;
}

// Which outputs are replaced by a new file and which are written in place.
TEST(Output, ReplacedWhereSafeWrittenInPlaceElsewhere)
{
    SKIP_ON_WINDOWS("the output is written in place there");
    const std::string input = "a,b\r\n";
    const std::string converted = "a|b\r\n";
    struct output_case {
        const char* name;
        bool replaced;  // a new file takes the old one's place
        void (*prepare)(const scratch_dir&);
        launch how;
        std::string output = "out.txt";
    };
    const output_case cases[] = {
        {"a new output", true, [](const scratch_dir&) {}, {}},
        {"an existing output, its permission bits kept", true,
            [](const scratch_dir& d) {
                write_file(d.at("out.txt"), OLD_OUTPUT);
                chmod(d.at("out.txt").c_str(), 0640);
            },
            {}},
        {"a symbolic link, written through", false,
            [](const scratch_dir& d) {
                write_file(d.at("target.txt"), OLD_OUTPUT);
                ASSERT_EQ(symlink("target.txt", d.at("out.txt").c_str()), 0);
            },
            {}},
        {"a file with a second name", false,
            [](const scratch_dir& d) {
                write_file(d.at("target.txt"), OLD_OUTPUT);
                ASSERT_EQ(link(d.at("target.txt").c_str(), d.at("out.txt").c_str()), 0);
            },
            {}},
        {"another user's file", false,
            [](const scratch_dir& d) {
                write_file(d.at("out.txt"), OLD_OUTPUT);
                chmod(d.at("out.txt").c_str(), 0666);
                chmod(d.path.c_str(), 0777);
            },
            unprivileged()},
        {"a directory that cannot be written", false,
            [](const scratch_dir& d) {
                ASSERT_EQ(mkdir(d.at("locked").c_str(), 0755), 0);
                write_file(d.at("locked/out.txt"), OLD_OUTPUT);
                ASSERT_EQ(chown(d.at("locked/out.txt").c_str(), NOBODY_ID, NOBODY_ID), 0);
            },
            unprivileged(), "locked/out.txt"},
    };
    for (const output_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.how.user == as_user::unprivileged && !can_drop_privileges())
            continue;  // needs root to run the program as another user
        scratch_dir dir;
        chmod(dir.path.c_str(), 0777);
        write_file(dir.at("in.csv"), input);
        c.prepare(dir);
        const std::string output = dir.at(c.output);
        const bool existed = access(output.c_str(), F_OK) == 0;
        struct stat before { };
        if (existed)
            before = status_of(output);

        const run_result result = run_program(dir.path, {"in.csv", c.output}, c.how);
        chmod(dir.path.c_str(), 0755);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(read_file(output), converted);
        const struct stat after = status_of(output);
        if (existed) {
            EXPECT_EQ(after.st_ino != before.st_ino, c.replaced);
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_uid, before.st_uid);
        }
        std::set<std::string> expected {"in.csv", c.output.substr(0, c.output.find('/'))};
        if (access(dir.at("target.txt").c_str(), F_OK) == 0)
            expected.insert("target.txt");
        EXPECT_EQ(dir.listing(), expected);
    }
}

// On Windows a device is written in place, and an output that cannot be
// replaced (held open by another program, say) is said to be so, with the
// old output as it was and nothing left. Wine replaces a file held open all
// the same, so an immutable file stands in for it here.
TEST(Output, WindowsDeviceWrittenInPlaceAndARefusedReplacement)
{
    if (!on_windows())
        GTEST_SKIP() << "Windows' devices and renames";
    scratch_dir dir;
    write_file(dir.at("in.csv"), "a,b\r\n");
    run_result result = run_program(dir.path, {"in.csv", "NUL"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.listing(), std::set<std::string> {"in.csv"});

    write_file(dir.at("out.txt"), OLD_OUTPUT);
    if (std::system(("chattr +i '" + dir.at("out.txt") + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no immutable files here";
    result = run_program(dir.path, {"in.csv", "out.txt"});
    EXPECT_EQ(std::system(("chattr -i '" + dir.at("out.txt") + "'").c_str()), 0);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, console(fmt(MSG_WRITE_FAILED, "out.txt", std::strerror(EACCES))));
    EXPECT_EQ(read_file(dir.at("out.txt")), OLD_OUTPUT);
    EXPECT_EQ(listing_after_run(dir), (std::set<std::string> {"in.csv", "out.txt"}));
}

}  // namespace
