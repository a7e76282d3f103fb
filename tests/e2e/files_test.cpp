// End-to-end cases that need more than one input file: the intermediate
// file's guarantees, concurrent runs, large records and progress.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "common/common.h"
#include "e2e/harness.h"
#include "support.h"

namespace {

// Writes to a FIFO that the program reads as its input, so a test decides
// when the input ends.
struct fifo_writer {
    int fd = -1;
    explicit fifo_writer(const std::string& path) { fd = open(path.c_str(), O_WRONLY); }
    ~fifo_writer() { close_now(); }
    void write_all(const std::string& bytes) const
    {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void close_now()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

std::string records(int count, const std::string& tag)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += tag + "," + std::to_string(i) + ",\"q\"\"x\"\r\n";
    return text;
}

std::string converted(int count, const std::string& tag)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += tag + "|" + std::to_string(i) + "|q\"\"x\r\n";
    return text;
}

TEST(IntermediateFile, ExistingFileOfThatNameIsLeftAlone)
{
    scratch_dir dir;
    write_file(dir.at("TEMPCSV"), "the user's own data\n");
    write_file(dir.at("in.csv"), "a,b\n");

    const run_result result = run_program(dir.path, {"in.csv", "out.txt"});

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dir.at("TEMPCSV")), "the user's own data\n");
    EXPECT_EQ(read_file(dir.at("out.txt")), "a|b\r\n");
    EXPECT_EQ(dir.listing(), (std::set<std::string> {"TEMPCSV", "in.csv", "out.txt"}));
}

TEST(IntermediateFile, NameWorksAsInputAndAsOutput)
{
    scratch_dir dir;
    write_file(dir.at("TEMPCSV"), "a,b\n");

    EXPECT_EQ(run_program(dir.path, {"TEMPCSV", "out.txt"}).status, 0);
    EXPECT_EQ(read_file(dir.at("out.txt")), "a|b\r\n");

    write_file(dir.at("in.csv"), "c,d\n");
    EXPECT_EQ(run_program(dir.path, {"in.csv", "TEMPCSV"}).status, 0);
    EXPECT_EQ(read_file(dir.at("TEMPCSV")), "c|d\r\n");
    EXPECT_EQ(dir.listing(), (std::set<std::string> {"TEMPCSV", "in.csv", "out.txt"}));
}

TEST(IntermediateFile, UnwritableDirectoryIsReported)
{
    SKIP_ON_WINDOWS("needs POSIX permission bits and another user");
    scratch_dir dir;
    write_file(dir.at("in.csv"), "a\n");
    chmod(dir.path.c_str(), 0555);  // readable and searchable by all, writable by none
    const run_result result = run_program(dir.path, {"in.csv", "out.txt"}, unprivileged());
    chmod(dir.path.c_str(), 0755);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, fmt(MSG_OPEN_FAILED, INTERMEDIATE_NAME, std::strerror(EACCES)));
    EXPECT_EQ(dir.listing(), std::set<std::string> {"in.csv"});
}

TEST(IntermediateFile, TwoRunsAtOnceInOneDirectory)
{
    SKIP_ON_WINDOWS("needs FIFOs and /proc to hold both runs mid-way");
    scratch_dir dir;
    ASSERT_EQ(mkfifo(dir.at("one.csv").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(dir.at("two.csv").c_str(), 0600), 0);
    const running_program first = start_program(dir.path, {"one.csv", "one.txt"});
    const running_program second = start_program(dir.path, {"two.csv", "two.txt"});
    fifo_writer one(dir.at("one.csv"));
    fifo_writer two(dir.at("two.csv"));

    // Both runs hold their intermediate files before either input ends.
    one.write_all(records(3000, "one"));
    two.write_all(records(3000, "two"));
    ASSERT_TRUE(wait_until_blocked(first.pid));
    ASSERT_TRUE(wait_until_blocked(second.pid));
    one.write_all(records(3000, "one"));
    two.write_all(records(3000, "two"));
    one.close_now();
    two.close_now();

    EXPECT_EQ(wait_program(first).status, 0);
    EXPECT_EQ(wait_program(second).status, 0);
    const std::string one_output = converted(3000, "one");
    const std::string two_output = converted(3000, "two");
    EXPECT_EQ(read_file(dir.at("one.txt")), one_output + one_output);
    EXPECT_EQ(read_file(dir.at("two.txt")), two_output + two_output);
    EXPECT_EQ(dir.listing(), (std::set<std::string> {"one.csv", "one.txt", "two.csv", "two.txt"}));
}

TEST(Paths, AbsolutePathsAreNotOptions)
{
    SKIP_ON_WINDOWS("'/' always begins an option there");
    scratch_dir dir;
    write_file(dir.at("in.csv"), "a,b\n");
    const run_result result = run_program(dir.path, {dir.at("in.csv"), dir.at("out.txt"), "/r"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read_file(dir.at("out.txt")), "a|b\r\n");
}

TEST(Records, HundredThousandByteRecordIsCarriedWhole)
{
    std::string field;
    for (int i = 0; i < 100000; ++i)
        field += static_cast<char>("ab\"c,|\n\r"[i % 8]);
    std::string quoted;
    for (const char c : field)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);

    scratch_dir dir;
    write_file(dir.at("in.csv"), "x,\"" + quoted + "\",y\r\nlast\r\n");
    const run_result result = run_program(dir.path, {"in.csv", "out.txt", "-.ini"});

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, console(fmt(MSG_EXTRA_PIPE, 1LL, 2LL) + field + "\n" + summary(2)));
    quoted[quoted.find('|')] = ' ';
    EXPECT_EQ(read_file(dir.at("out.txt")), "x|" + quoted + "|y\r\nlast\r\n");
}

TEST(Records, ProgressEveryThousandRecords)
{
    scratch_dir dir;
    write_file(dir.at("in.csv"), records(2001, "r"));
    const run_result result = run_program(dir.path, {"in.csv", "out.txt"});
    EXPECT_EQ(result.out, console(fmt(MSG_PROGRESS, 1000LL) + fmt(MSG_PROGRESS, 2000LL) + summary(2001)));
    EXPECT_EQ(fmt(MSG_PROGRESS, 2000LL), "\r     2000 records");
    EXPECT_EQ(read_file(dir.at("out.txt")), converted(2001, "r"));
}

// Record numbers past 999 widen their column; progress lines and messages
// share standard output in the order they happen.
TEST(Records, MessagesPastTheThousandthRecord)
{
    std::string input;
    for (int i = 1; i <= 2000; ++i)
        input += i == 1234 ? "\"x\r\ny\",z|z\n" : "x,y\n";
    scratch_dir dir;
    write_file(dir.at("in.csv"), input);

    const run_result result = run_program(dir.path, {"in.csv", "out.txt", "-R"});

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, console("\nRecord 1234 has embedded carriage return, removed"));
    EXPECT_EQ(result.out,
        console(fmt(MSG_PROGRESS, 1000LL)
            + "\nRecord 1234 has extra pipe in field no. 2, pipe changed to space:  \nz|z\n" + fmt(MSG_PROGRESS, 2000LL)
            + summary(2000)));
}

// Megabytes of messages, as much line feeds as text, so that the blocks
// they are written in end at a line feed again and again, come out whole
// and in order.
TEST(Records, MegabytesOfMessagesComeOutWhole)
{
    std::string input, said;
    for (long long record = 1; record <= 20000; ++record) {
        const std::string field = std::string(static_cast<std::size_t>(record % 7), 'x') + "|"
            + std::string(static_cast<std::size_t>(record % 13 + 1), '\n') + std::to_string(record);
        input += "a,\"" + field + "\"\n";
        said += fmt(MSG_EXTRA_PIPE, record, 2LL) + field + "\n";
        if (record % 1000 == 0)
            said += fmt(MSG_PROGRESS, record);
    }
    scratch_dir dir;
    write_file(dir.at("in.csv"), input);
    const run_result result = run_program(dir.path, {"in.csv", "out.txt", "-.ini"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.out == console(said + summary(20000))) << result.out.size() << " bytes";
}

}  // namespace

// An output that is the input under another name would replace it with its
// own conversion: refused before anything is created.
TEST(Paths, InputUnderAnotherNameIsRefused)
{
    SKIP_ON_WINDOWS("symbolic links need privileges there");
    scratch_dir dir;
    write_file(dir.at("in.csv"), "a,b\n");
    ASSERT_EQ(symlink("in.csv", dir.at("soft.txt").c_str()), 0);
    ASSERT_EQ(link(dir.at("in.csv").c_str(), dir.at("hard.txt").c_str()), 0);
    for (const char* output : {"soft.txt", "hard.txt"}) {
        const run_result result = run_program(dir.path, {"in.csv", output});
        EXPECT_EQ(result.status, 1) << output;
        EXPECT_EQ(result.err, MSG_SAME_PATH);
        EXPECT_EQ(read_file(dir.at("in.csv")), "a,b\n");
    }
    EXPECT_EQ(dir.listing(), (std::set<std::string> {"in.csv", "soft.txt", "hard.txt"}));
}

// Messages that cannot be written fail the run, which says so; the output
// is complete all the same. (A reader gone, and standard output closed
// from the start: see Edges.)
TEST(Paths, StandardOutputFailures)
{
    SKIP_ON_WINDOWS("there is no /dev/full");
    scratch_dir dir;
    write_file(dir.at("in.csv"), "a,b|c\n");
    launch full;
    full.standard_output = "/dev/full";
    const run_result result = run_program(dir.path, {"in.csv", "out.txt"}, full);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, fmt(MSG_WRITE_FAILED, STANDARD_OUTPUT_NAME, std::strerror(ENOSPC)));
    EXPECT_EQ(read_file(dir.at("out.txt")), "a|b c\r\n");
}
