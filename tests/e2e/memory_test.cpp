// Memory that runs out, end to end: under address-space limits from too
// little to start the program up to enough, and with every allocation of
// the process failing in turn, on file systems with unnamed files and
// without. Whatever fails, the run converts exactly, or says so with
// status 1 and leaves the old output as it was and nothing beside it; it
// never ends by a signal.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

#include "common/common.h"
#include "e2e/harness.h"
#include "support.h"

namespace {

const std::string OLD_OUTPUT = "the previous output\r\n";

// Fields with quotes, doubled quotes, line breaks and pipes, so that every
// kind of report comes, and progress lines.
std::string input_with_messages(std::size_t bytes)
{
    std::string text;
    for (int i = 0; text.size() < bytes; ++i)
        text += std::to_string(i) + ",\"said \"\"a|b\"\"\",\"line\r\nbreak\",x|y,  blanks  ,\""
            + std::string(i % 40, 'q') + "\"\r\n";
    return text;
}

// What a run did, for a table of outcomes.
std::string outcome_of(const run_result& result, const run_result& expected, const std::string& output,
    const std::string& converted, const std::set<std::string>& left)
{
    if (left != std::set<std::string> {"in.csv", "out.txt"})
        return "files left beside the output";
    if (result.status == 0)
        return result.out == expected.out && result.err == expected.err && output == converted ? "converted"
                                                                                               : "converted wrongly";
    // Below the room its shared libraries need, the dynamic loader cannot
    // start the program at all, and says so.
    if (result.status == 127 && result.err.find("error while loading shared libraries") != std::string::npos)
        return "not started by the loader";
    if (result.status != STATUS_FAILED)
        return "status " + std::to_string(result.status);
    if (output != OLD_OUTPUT)
        return "failed, the old output lost";
    return result.err.empty() ? "failed without a message" : "failed with a message";
}

// A 20 MB conversion with messages, from 6 to 24 MB of address space: below
// about 10 MB the run cannot have its buffers, and where a second thread's
// stack takes the room the passes need, it cannot either. At the lowest,
// the decompressors' libraries leave the loader no room to start it.
TEST(Memory, AddressSpaceLimits)
{
    SKIP_ON_WINDOWS("needs POSIX resource limits");
    SKIP_UNDER_QEMU("the address-space limit would be the emulator's");
#ifdef UNDER_SANITIZER
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit an address-space limit";
#endif
    scratch_dir dir;
    write_file(dir.at("in.csv"), input_with_messages(20 << 20));
    const run_result expected = run_program(dir.path, {"in.csv", "out.txt", "-r"});
    ASSERT_EQ(expected.status, 0);
    const std::string converted = read_file(dir.at("out.txt"));

    std::map<std::string, std::string> table;
    for (long kib = 6000; kib <= 24000; kib += 2000) {
        write_file(dir.at("out.txt"), OLD_OUTPUT);
        launch how;
        how.memory_limit = kib * 1024;
        const run_result result = run_program(dir.path, {"in.csv", "out.txt", "-r"}, how);
        const std::string outcome
            = outcome_of(result, expected, read_file(dir.at("out.txt")), converted, dir.listing());
        table[outcome] += " " + std::to_string(kib);
        EXPECT_TRUE(outcome == "converted" || outcome == "failed with a message"
            || (outcome == "not started by the loader" && kib <= 6000))
            << kib << " KiB: " << outcome;
        if (result.status == STATUS_FAILED) {
            EXPECT_NE(result.err.find(fmt(MSG_CONVERT_FAILED, "in.csv", std::strerror(ENOMEM))), std::string::npos);
        }
    }
    for (const auto& [outcome, limits] : table)
        std::cout << outcome << " at KiB" << limits << "\n";
}

#ifdef TROVANEX_PRELOAD_FAULTS
// Every allocation of a conversion with every kind of message fails in
// turn, a long field read back to be shown included: from the dynamic
// loader's first to the run's last, with unnamed files and without, and
// of the same input compressed in each format.
TEST(Memory, EveryAllocationFailsInTurn)
{
    SKIP_ON_WINDOWS("preloads a Linux library");
    SKIP_UNDER_QEMU("preloads a library of the build machine");
#ifdef UNDER_SANITIZER
    GTEST_SKIP() << "the sanitizer takes the allocations itself";
#endif
    scratch_dir dir;
    const scratch_dir source;
    write_file(source.at("plain.csv"), input_with_messages(150000) + "1,\"a|" + std::string(5000, 'b') + "\"\r\n");
    const std::pair<const char*, bool> cases[] = {
        {"cat", true}, {"cat", false}, {"gzip -c", true}, {"zstd -q -c", true}, {"bzip2 -c", true}, {"xz -c", true}};
    for (const auto& [compressor, unnamed] : cases) {
        SCOPED_TRACE(std::string(compressor) + (unnamed ? ", with unnamed files" : ", without unnamed files"));
        const std::string made = std::string(compressor) + " '" + source.at("plain.csv") + "' >'" + dir.at("in.csv") + "'";
        ASSERT_EQ(std::system(made.c_str()), 0);
        launch how;
        how.environment = {"LD_PRELOAD=" TROVANEX_PRELOAD_FAULTS, "TROVANEX_FIELD_LIMIT=1000"};
        if (!unnamed)
            how.environment.push_back("TROVANEX_NO_UNNAMED_FILES=1");
        launch counting = how;
        counting.environment.push_back("TROVANEX_COUNT_ALLOCATIONS=" + dir.at("count"));
        write_file(dir.at("out.txt"), OLD_OUTPUT);
        const run_result expected = run_program(dir.path, {"in.csv", "out.txt", "-r"}, counting);
        ASSERT_EQ(expected.status, 0) << expected.err;
        const std::string converted = read_file(dir.at("out.txt"));
        const long allocations = std::atol(read_file(dir.at("count")).c_str());
        std::remove(dir.at("count").c_str());
        ASSERT_GT(allocations, 20);

        std::map<std::string, int> counts;
        for (long n = 1; n <= allocations; ++n) {
            write_file(dir.at("out.txt"), OLD_OUTPUT);
            launch failing = how;
            failing.environment.push_back("TROVANEX_FAIL_ALLOCATION=" + std::to_string(n));
            const run_result result = run_program(dir.path, {"in.csv", "out.txt", "-r"}, failing);
            const std::string outcome
                = outcome_of(result, expected, read_file(dir.at("out.txt")), converted, dir.listing());
            counts[outcome] += 1;
            EXPECT_TRUE(outcome == "converted" || outcome == "failed with a message")
                << "allocation " << n << ": " << outcome << "\n"
                << result.err;
        }
        std::cout << compressor << ": " << allocations << " allocations" << (unnamed ? "" : ", no unnamed files") << ":";
        for (const auto& [outcome, count] : counts)
            std::cout << " " << outcome << " " << count << ";";
        std::cout << "\n";
    }
}
#endif

}  // namespace
