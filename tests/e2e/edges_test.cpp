// The run's edges, one row each: started without some of its standard
// descriptors, its reader gone, a file size limit, an input cut short while
// it is read, a settings file it cannot open with nobody at a terminal,
// and outputs that cannot be made. Every row checks the status, both
// streams, what the output holds (the old one kept, or the whole new one),
// and that nothing is left beside it; no run ends in a signal.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "common/common.h"
#include "e2e/harness.h"
#include "model.h"
#include "support.h"

namespace {

const std::string OLD_OUTPUT = "the previous output\r\n";

// Each record reports on both streams with -r: its '|' on standard output,
// its line feed on standard error.
std::string reported_records(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += std::to_string(i) + ",a|b,\"x\r\ny\"\r\n";
    return text;
}

std::string plain_records(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "plain " + std::to_string(i) + ",text\r\n";
    return text;
}

// An input and what a whole run of it gives. Built when a row first needs
// it: every test process makes the table, and a forked child starts with
// its parent's memory, which the peak-memory tests would count.
struct sample {
    std::string input;
    std::string output;
    std::string out;  // all a whole run says on standard output
    std::string err;  // ...and on standard error
};

sample sample_of(std::string input, int mode)
{
    const model_result model = model_conversion(input, mode);
    return {std::move(input), model.output, model.out + summary(model.records), model.err};
}

// Reports on both streams with -r.
const sample& reported()
{
    static const sample s = sample_of(reported_records(20000), LINE_BREAKS_TO_SPACE);
    return s;
}

// Megabytes of reports, which fill a pipe nobody reads yet, and megabytes
// after them, for the program to read once that is done.
const sample& long_reported()
{
    static const sample s = sample_of(reported_records(40000) + plain_records(300000), LINE_BREAKS_KEEP);
    return s;
}

const sample& plain()
{
    static const sample s = sample_of(plain_records(20000), LINE_BREAKS_KEEP);
    return s;
}

// Written at twice the intermediate file's size.
const sample& utf16()
{
    static const sample s = [] {
        sample utf8 = sample_of(plain_records(20000), LINE_BREAKS_KEEP);
        return sample {"\xFF\xFE" + utf16_of(utf8.input, false), "\xFF\xFE" + utf16_of(utf8.output, false), utf8.out, ""};
    }();
    return s;
}

const sample& one_record()
{
    static const sample s = sample_of("a\n", LINE_BREAKS_KEEP);
    return s;
}

std::string failed_write(const char* name, int error)
{
    return fmt(MSG_WRITE_FAILED, name, std::strerror(error));
}

std::string failed_open(const char* name, int error)
{
    return fmt(MSG_OPEN_FAILED, name, std::strerror(error));
}

launch started_without(std::vector<int> descriptors)
{
    launch how;
    how.closed_descriptors = std::move(descriptors);
    return how;
}

launch reader_gone_after(long bytes)
{
    launch how;
    if (bytes == 0)
        how.standard_output_closed = true;
    else
        how.standard_output_read_limit = bytes;
    return how;
}

launch size_limit(long bytes)
{
    launch how;
    how.file_size_limit = bytes;
    return how;
}

// As another user where the tests run as root, so that permission bits
// count (not under Wine, whose prefix is the tests' user's), and never
// waiting for long.
launch as_nobody()
{
    launch how = on_windows() ? launch {} : unprivileged();
    how.time_limit = 60;
    return how;
}

launch batch_job()
{
    launch how = as_nobody();
    how.standard_input_pipe = true;
    return how;
}

// Waits until the process has read some of the file: its position there,
// as /proc shows it, is past the start. False if that never happens.
bool wait_until_read_into(pid_t pid, const std::string& path)
{
    const std::string process = "/proc/" + std::to_string(pid);
    for (int tries = 0; tries < 1000; ++tries) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(process + "/fd", error)) {
            if (std::filesystem::read_symlink(entry.path(), error) != path)
                continue;
            std::ifstream info(process + "/fdinfo/" + entry.path().filename().string());
            std::string field;
            long long position = 0;
            if (info >> field >> position && field == "pos:" && position > 0)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void read_only(const std::string& path)
{
    ASSERT_EQ(chmod(path.c_str(), 0555), 0);
}

// What standard output shows of the sample's reports.
enum class said {
    all,
    nothing,
    until_read,  // the bytes read before the pipe was closed
    until_stopped,  // some of them: the run stopped when it failed
};

enum class left { old_output, new_output };

struct row {
    const char* name;
    const char* reason;
    const sample& (*given)();
    launch how;
    std::vector<std::string> args;
    int status;
    said out;
    bool err_reports;  // standard error holds the sample's reports...
    std::string err;  // ...then this
    left output;
    std::function<void(const scratch_dir&)> setup = {};
    std::function<void(const scratch_dir&, pid_t)> during = {};  // while the run goes on
    const char* not_on_windows = nullptr;
    std::string out_before = "";  // said before the reports
};

const std::vector<std::string> R = {"in.csv", "out.txt", "-r"};
const std::vector<std::string> QUIET = {"in.csv", "out.txt", "-.ini"};
const std::string STDOUT_CLOSED = failed_write(STANDARD_OUTPUT_NAME, EBADF);
const std::string STDOUT_GONE = failed_write(STANDARD_OUTPUT_NAME, EPIPE);
// Wine's own files take the lowest free descriptors, and the Windows
// program is handed those for its standard handles; a process that Windows
// starts without them has none (the run-time's descriptors 0, 1 and 2 stay
// taken, with no handle behind them).
const char WINE_TAKES_THEM[] = "Wine's own files take the numbers of a Unix process's closed descriptors";
constexpr left OLD = left::old_output;
// What the system says of a folder opened as a file, and of a file taken
// for a folder.
const int A_FOLDER = on_windows() ? EACCES : EISDIR;
const int THROUGH_A_FILE = on_windows() ? ENOENT : ENOTDIR;
constexpr left NEW = left::new_output;

const row ROWS[] = {
    // No file of the run takes a standard descriptor's number. A closed
    // standard output or error is a failed write, and the conversion, which
    // did not fail, is whole and in place.
    {"StartedWithoutInput", "nothing is read from it", reported, started_without({0}), R, 0, said::all, true, "", NEW},
    {"StartedWithoutOutput", "the reports could not be written", reported, started_without({1}), R, 1, said::nothing,
        true, STDOUT_CLOSED, NEW},
    {"StartedWithoutError", "only the status can say so", reported, started_without({2}), R, 1, said::all, false, "",
        NEW},
    {"StartedWithoutInputOrOutput", "", reported, started_without({0, 1}), R, 1, said::nothing, true, STDOUT_CLOSED,
        NEW, {}, {}, WINE_TAKES_THEM},
    {"StartedWithoutInputOrError", "", reported, started_without({0, 2}), R, 1, said::all, false, "", NEW, {}, {},
        WINE_TAKES_THEM},
    {"StartedWithoutOutputOrError", "", reported, started_without({1, 2}), R, 1, said::nothing, false, "", NEW, {}, {},
        WINE_TAKES_THEM},
    {"StartedWithoutAnyOfThem", "", reported, started_without({0, 1, 2}), R, 1, said::nothing, false, "", NEW, {}, {},
        WINE_TAKES_THEM},
    {"StartedWithoutErrorNothingToSay", "a stream never written to is no failure", one_record, started_without({2}),
        QUIET, 0, said::all, false, "", NEW},

    // A reader gone is a failed write of the reports, not a signal.
    {"ReaderGoneFromTheStart", "", reported, reader_gone_after(0), R, 1, said::nothing, true, STDOUT_GONE, NEW},
    {"ReaderGoneAfterALine", "", reported, reader_gone_after(80), R, 1, said::until_read, true, STDOUT_GONE, NEW},
    {"ReaderGoneMidway", "", reported, reader_gone_after(1 << 20), R, 1, said::until_read, true, STDOUT_GONE, NEW},

    // A file size limit is a failed write of the file that reached it.
    {"SizeLimitOnTheIntermediateFile", "", plain, size_limit(200000), QUIET, 1, said::until_stopped, false,
        failed_write(INTERMEDIATE_NAME, EFBIG), OLD, {}, {}, "POSIX resource limits"},
    {"SizeLimitOnTheOutput", "UTF-16 comes out at twice the intermediate file's size", utf16, size_limit(600000),
        QUIET, 1, said::until_stopped, false, failed_write("out.txt", EFBIG), OLD, {}, {}, "POSIX resource limits"},
    {"SizeLimitAboveTheOutput", "", utf16, size_limit(1200000), QUIET, 0, said::all, false, "", NEW, {}, {},
        "POSIX resource limits"},

    // An input that another program cuts short is not a shorter input.
    {"InputCutShortWhileRead", "the records after the cut would be lost in silence", long_reported, {}, QUIET, 1,
        said::until_stopped, false, fmt(MSG_READ_FAILED, "in.csv", MSG_INPUT_SHRANK), OLD, {},
        [](const scratch_dir& dir, pid_t pid) {
            ASSERT_TRUE(wait_until_read_into(pid, dir.at("in.csv")));
            ASSERT_TRUE(wait_until_blocked(pid));
            ASSERT_EQ(truncate(dir.at("in.csv").c_str(), 0), 0);
        },
        "the moment it waits is found in /proc, where Wine's files keep their names"},

    // The wait for a key is for a person at a terminal.
    {"SettingsUnopenableInABatchJob", "a pipe that never ends is no keyboard", reported, batch_job(), R, 0, said::all,
        true, "", NEW,
        [](const scratch_dir& dir) {
            // A settings file that cannot be opened: on Windows a folder of
            // that name, as SettingsLookup makes it.
            if (on_windows()) {
                std::filesystem::create_directory(dir.at("TROVANEX.ini"));
            } else {
                write_file(dir.at("TROVANEX.ini"), "[TROVANEX]\n");
                ASSERT_EQ(chmod(dir.at("TROVANEX.ini").c_str(), 0), 0);
            }
            std::remove(dir.at("out.txt").c_str());
        },
        {}, nullptr, MSG_SETTINGS_UNOPENABLE},

    // An output that cannot be made is found out before the input is read,
    // so nothing is reported.
    {"OutputFolderMissing", "", reported, {}, {"in.csv", "no/out.txt", "-r"}, 1, said::nothing, false,
        failed_open("no/out.txt", ENOENT), OLD},
    {"OutputThroughAFile", "", reported, {}, {"in.csv", "in.csv/out.txt", "-r"}, 1, said::nothing, false,
        failed_open("in.csv/out.txt", THROUGH_A_FILE), OLD},
    {"OutputIsAFolder", "", reported, {}, {"in.csv", "folder", "-r"}, 1, said::nothing, false,
        failed_open("folder", A_FOLDER), OLD,
        [](const scratch_dir& dir) { std::filesystem::create_directory(dir.at("folder")); }},
    {"OutputFolderReadOnly", "", reported, as_nobody(), {"in.csv", "ro/out.txt", "-r"}, 1, said::nothing, false,
        failed_open("ro/out.txt", EACCES), OLD,
        [](const scratch_dir& dir) {
            std::filesystem::create_directory(dir.at("ro"));
            read_only(dir.at("ro"));
        },
        {}, "POSIX permission bits"},
    {"OutputReadOnly", "", reported, as_nobody(), R, 1, said::nothing, false, failed_open("out.txt", EACCES), OLD,
        [](const scratch_dir& dir) { read_only(dir.at("out.txt")); }, {}, "POSIX permission bits"},
};

void PrintTo(const row& r, std::ostream* os)
{
    *os << r.name;
}

class Edges : public testing::TestWithParam<row> { };

TEST_P(Edges, Run)
{
    const row& r = GetParam();
    SCOPED_TRACE(r.reason);
    if (r.not_on_windows != nullptr) {
        SKIP_ON_WINDOWS(r.not_on_windows);
    }
    const sample& given = r.given();
    scratch_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);  // for the runs as another user
    write_file(dir.at("in.csv"), given.input);
    write_file(dir.at("out.txt"), OLD_OUTPUT);
    if (r.setup)
        r.setup(dir);
    std::set<std::string> expected_files = dir.listing();
    expected_files.insert("out.txt");

    const running_program program = start_program(dir.path, r.args, r.how);
    if (r.during)
        r.during(dir, program.pid);
    const run_result result = wait_program(program);

    EXPECT_EQ(result.status, r.status);
    const std::string all_said = console(r.out_before + given.out);
    switch (r.out) {
    case said::all:
        EXPECT_TRUE(result.out == all_said) << result.out.size() << " bytes, not " << all_said.size();
        break;
    case said::nothing:
        EXPECT_EQ(result.out, "");
        break;
    case said::until_read:
        EXPECT_TRUE(result.out == all_said.substr(0, static_cast<std::size_t>(r.how.standard_output_read_limit)));
        break;
    case said::until_stopped:
        EXPECT_TRUE(all_said.starts_with(result.out)) << result.out.size() << " bytes";
        break;
    }
    EXPECT_EQ(result.err, console((r.err_reports ? given.err : "") + r.err));
    EXPECT_TRUE(read_file(dir.at("out.txt")) == (r.output == NEW ? given.output : OLD_OUTPUT));
    EXPECT_EQ(dir.listing(), expected_files);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Edges, testing::ValuesIn(ROWS),
    [](const testing::TestParamInfo<row>& info) { return std::string(info.param.name); });

}  // namespace
