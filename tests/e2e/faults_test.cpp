// Faults and hostile input, end to end: full disks, odd input files,
// signals at several points of a run, many runs at once, huge fields and
// random bytes. Whatever happens, no intermediate file is left behind and
// the status tells the truth.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "common/common.h"
#include "e2e/harness.h"
#include "model.h"
#include "support.h"

namespace {

std::string records(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "field " + std::to_string(i) + ",\"quoted, " + std::string(200, 'x') + "\"\r\n";
    return text;
}

// A field larger than the memory the parser may have stops the run with
// libcsv's reason and the record's number, before any output exists.
// A field is never held whole, so one larger than the memory allowed
// converts all the same.
TEST(Faults, FieldLargerThanMemory)
{
    SKIP_ON_WINDOWS("needs POSIX resource limits");
    SKIP_UNDER_QEMU("the address-space limit would be the emulator's, which reserves the guest's at start");
#ifdef UNDER_SANITIZER
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit an address-space limit";
#endif
    scratch_dir dir;
    const std::string field(96 << 20, 'z');
    write_file(dir.at("in.csv"), "a\nb\nc,\"" + field + "\"\n");
    launch how;
    how.memory_limit = 64 << 20;
    const run_result result = run_program(dir.path, {"in.csv", "out.txt"}, how);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, summary(3));
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(read_file(dir.at("out.txt")) == "a\r\nb\r\nc|" + field + "\r\n");
    EXPECT_EQ(dir.listing(), (std::set<std::string> {"in.csv", "out.txt"}));
}

TEST(Faults, IntermediateFileDiskFull)
{
    SKIP_ON_WINDOWS("needs POSIX resource limits");
    scratch_dir dir;
    write_file(dir.at("in.csv"), records(900));
    launch how;
    how.file_size_limit = 65536;
    const run_result result = run_program(dir.path, {"in.csv", "out.txt"}, how);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, fmt(MSG_WRITE_FAILED, INTERMEDIATE_NAME, std::strerror(EFBIG)));
    EXPECT_EQ(dir.listing(), std::set<std::string> {"in.csv"});
}

TEST(Faults, OutputDiskFull)
{
    SKIP_ON_WINDOWS("there is no /dev/full");
    scratch_dir dir;
    write_file(dir.at("in.csv"), records(900));
    const run_result result = run_program(dir.path, {"in.csv", "/dev/full"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, fmt(MSG_WRITE_FAILED, "/dev/full", std::strerror(ENOSPC)));
    EXPECT_EQ(dir.listing(), std::set<std::string> {"in.csv"});
}

TEST(Faults, InputFromFifoDevNullAndEmptyFile)
{
    SKIP_ON_WINDOWS("needs FIFOs and /dev/null");
    scratch_dir dir;
    ASSERT_EQ(mkfifo(dir.at("fifo.csv").c_str(), 0600), 0);
    const running_program program = start_program(dir.path, {"fifo.csv", "fifo.txt"});
    {
        const int fd = open(dir.at("fifo.csv").c_str(), O_WRONLY);
        const std::string input = records(1500);
        ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(fd);
    }
    const run_result fifo = wait_program(program);
    EXPECT_EQ(fifo.status, 0);
    EXPECT_EQ(read_file(dir.at("fifo.txt")), model_conversion(records(1500), LINE_BREAKS_KEEP).output);

    const run_result null = run_program(dir.path, {"/dev/null", "null.txt"});
    EXPECT_EQ(null.status, 0);
    EXPECT_EQ(null.out, summary(0));
    EXPECT_EQ(read_file(dir.at("null.txt")), "");

    write_file(dir.at("empty.csv"), "");
    EXPECT_EQ(run_program(dir.path, {"empty.csv", "empty.txt"}).out, summary(0));
    EXPECT_EQ(dir.listing(), (std::set<std::string> {"empty.csv", "empty.txt", "fifo.csv", "fifo.txt", "null.txt"}));
}

// A run is stopped by each signal at three points: reading its input, about
// to create its output, and writing its output. Each ends with the signal's
// status and leaves no intermediate file.
TEST(Faults, SignalsAtSeveralPoints)
{
    SKIP_ON_WINDOWS("POSIX signals, FIFOs and /proc");
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        for (const char* const point : {"reading", "opening output", "writing output"}) {
            SCOPED_TRACE(std::string(strsignal(signal_number)) + " while " + point);
            scratch_dir dir;
            const std::string input = records(6000);
            int writer = -1;
            int reader = -1;
            running_program program {};
            if (std::strcmp(point, "reading") == 0) {
                ASSERT_EQ(mkfifo(dir.at("in.csv").c_str(), 0600), 0);
                program = start_program(dir.path, {"in.csv", "out.txt"});
                writer = open(dir.at("in.csv").c_str(), O_WRONLY);
                ASSERT_EQ(write(writer, input.data(), 300000), 300000);
            } else {
                write_file(dir.at("in.csv"), input);
                ASSERT_EQ(mkfifo(dir.at("out.txt").c_str(), 0600), 0);
                program = start_program(dir.path, {"in.csv", "out.txt"});
                if (std::strcmp(point, "writing output") == 0) {
                    // Take a little of the output, then stop reading.
                    reader = open(dir.at("out.txt").c_str(), O_RDONLY);
                    char some[4096];
                    ASSERT_GT(read(reader, some, sizeof some), 0);
                }
            }
            ASSERT_TRUE(wait_until_blocked(program.pid));
            kill(program.pid, signal_number);
            const run_result result = wait_program(program);
            if (writer >= 0)
                close(writer);
            if (reader >= 0)
                close(reader);
            EXPECT_EQ(result.status, 128 + signal_number);
            // The output (here a FIFO) exists only once the input is read.
            std::set<std::string> expected {"in.csv"};
            if (reader >= 0 || writer < 0)
                expected.insert("out.txt");
            EXPECT_EQ(dir.listing(), expected);
        }
    }
}

TEST(Faults, EightRunsAtOnceInOneDirectory)
{
    scratch_dir dir;
    std::vector<running_program> programs;
    std::vector<std::string> inputs;
    for (int i = 0; i < 8; ++i) {
        std::string input;
        for (int r = 0; r < 3000; ++r)
            input += "run " + std::to_string(i) + ",\"" + std::to_string(r) + "\r\n|\"\r\n";
        write_file(dir.at("in" + std::to_string(i) + ".csv"), input);
        inputs.push_back(input);
    }
    for (int i = 0; i < 8; ++i) {
        const std::string n = std::to_string(i);
        programs.push_back(start_program(dir.path, {"in" + n + ".csv", "out" + n + ".txt", "-r"}));
    }
    for (int i = 0; i < 8; ++i) {
        const run_result result = wait_program(programs[static_cast<std::size_t>(i)]);
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(read_file(dir.at("out" + std::to_string(i) + ".txt"))
            == model_conversion(inputs[static_cast<std::size_t>(i)], LINE_BREAKS_TO_SPACE).output)
            << "run " << i;
    }
    EXPECT_EQ(dir.listing().size(), 16u);
}

TEST(Faults, RandomBytesZeroBytesAndControlCharacters)
{
    std::mt19937 random(20261208);
    std::string binary(1 << 20, '\0');
    for (char& byte : binary)
        byte = static_cast<char>(random());
    std::string control;
    for (int i = 0; i < 200000; ++i)
        control += "\"\r\n,|\0x"[random() % 7];
    const std::pair<const char*, std::string> inputs[] = {
        {"random bytes", binary},
        {"zero bytes only", std::string(100000, '\0')},
        {"quotes, line breaks, commas, pipes and zeros", control},
    };
    for (const auto& [name, input] : inputs) {
        for (const int mode : {LINE_BREAKS_KEEP, LINE_BREAKS_TO_SPACE, LINE_BREAKS_REMOVE}) {
            SCOPED_TRACE(std::string(name) + ", mode " + std::to_string(mode));
            scratch_dir dir;
            write_file(dir.at("in.csv"), input);
            std::vector<std::string> args {"in.csv", "out.txt"};
            if (mode != LINE_BREAKS_KEEP)
                args.push_back(mode == LINE_BREAKS_TO_SPACE ? "-r" : "-R");
            const run_result result = run_program(dir.path, args);
            const model_result expected = model_conversion(input, mode);
            EXPECT_EQ(result.status, 0);
            EXPECT_TRUE(read_file(dir.at("out.txt")) == expected.output);
            EXPECT_TRUE(result.out.ends_with(console(summary(expected.records))));
            EXPECT_EQ(result.err.ends_with(console(fmt(MSG_UNCLOSED_QUOTE, expected.unclosed_record))),
                expected.unclosed_record != 0);
            EXPECT_EQ(dir.listing(), (std::set<std::string> {"in.csv", "out.txt"}));
        }
    }
}

// No field is held whole: a 200 MB field costs a few MiB, as any other.
TEST(Faults, TwoHundredMegabyteField)
{
    SKIP_ON_WINDOWS("the memory measured would be Wine's");
#ifdef UNDER_SANITIZER
    GTEST_SKIP() << "the sanitizer's own memory would be measured";
#endif
    constexpr std::size_t size = 200u << 20;
    scratch_dir dir;
    {
        std::FILE* file = std::fopen(dir.at("in.csv").c_str(), "wb");
        std::string block(1 << 20, 'y');
        std::fputs("a,\"", file);
        for (std::size_t written = 0; written < size; written += block.size())
            std::fwrite(block.data(), 1, block.size(), file);
        std::fputs("\",b\r\n", file);
        std::fclose(file);
    }
    const run_result result = run_program(dir.path, {"in.csv", "out.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, summary(1));
    EXPECT_EQ(std::filesystem::file_size(dir.at("out.txt")), size + 6);  // a| |b CR LF
    SKIP_UNDER_QEMU("the field converts, but the peak memory measured would be the emulator's");
    EXPECT_LT(result.peak_rss_kib, 16 * 1024);
}

}  // namespace
