// Every name works as typed, for the input and for the output, and a
// missing one is named in the message exactly as typed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/common.h"
#include "e2e/harness.h"
#include "support.h"

namespace {

TEST(Names, EveryNameAsTyped)
{
    for (const std::string& name : AWKWARD_NAMES) {
        SCOPED_TRACE(name);
        scratch_dir dir;
        std::filesystem::create_directories(dir.at(parent_of(name)));
        const std::string input = name + ".csv", output = name + " out.txt";
        write_file(dir.at(input), "a,b|c\r\n");
        const std::string said = fmt(MSG_EXTRA_PIPE, 1LL, 2LL) + "b|c\n" + summary(1);

        // A new output, then one replaced.
        for (int run = 0; run < 2; ++run) {
            const run_result result = run_program(dir.path, {input, output});
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(result.out, console(said));
            EXPECT_EQ(read_file(dir.at(output)), "a|b c\r\n");
        }
        const std::string missing = name + " missing.csv";
        const run_result result = run_program(dir.path, {missing, output});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, console(fmt(MSG_OPEN_FAILED, missing.c_str(), std::strerror(ENOENT))));
    }
}

// One file under two names, however they differ, is refused before
// anything is made.
TEST(Names, OneFileByAnotherCaseIsRefused)
{
    if (!on_windows())
        GTEST_SKIP() << "names differ by case only where the file system ignores it";
    scratch_dir dir;
    write_file(dir.at("in.csv"), "a\r\n");
    write_file(dir.at("Łódź.csv"), "a\r\n");
    for (const auto& [input, output] : {std::pair {"in.csv", "IN.CSV"}, std::pair {"Łódź.csv", "ŁÓDŹ.CSV"}}) {
        const run_result result = run_program(dir.path, {input, output});
        EXPECT_EQ(result.status, 1) << output;
        EXPECT_EQ(result.err, console(MSG_SAME_PATH));
    }
    EXPECT_EQ(read_file(dir.at("in.csv")), "a\r\n");
    EXPECT_EQ(dir.listing(), (std::set<std::string> {"in.csv", "Łódź.csv"}));
}

}  // namespace
