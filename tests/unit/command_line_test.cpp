#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/common.h"
#include "driver/driver.h"

namespace {

struct parsed {
    int count;
    int mode;
    std::string out;
};

parsed parse(std::vector<std::string> args)
{
    reset_run_state();
    args.insert(args.begin(), "trovanex");
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int count = parse_command_line(argv.data(), static_cast<int>(args.size()));
    parsed result {count, run_options.line_break_mode, testing::internal::GetCapturedStdout()};
    testing::internal::GetCapturedStderr();
    return result;
}

TEST(CommandLine, OptionLettersSetTheMode)
{
    EXPECT_EQ(parse({"i", "o"}).mode, LINE_BREAKS_KEEP);
    EXPECT_EQ(parse({"i", "o", "-r"}).mode, LINE_BREAKS_TO_SPACE);
    EXPECT_EQ(parse({"i", "o", "+r"}).mode, LINE_BREAKS_TO_SPACE);
    EXPECT_EQ(parse({"i", "o", "/r"}).mode, LINE_BREAKS_TO_SPACE);
    EXPECT_EQ(parse({"i", "o", "-R"}).mode, LINE_BREAKS_REMOVE);
    EXPECT_EQ(parse({"i", "o", "-"}).mode, LINE_BREAKS_KEEP);
}

TEST(CommandLine, LastLetterWins)
{
    EXPECT_EQ(parse({"i", "o", "-rR"}).mode, LINE_BREAKS_REMOVE);
    EXPECT_EQ(parse({"i", "o", "-Rr"}).mode, LINE_BREAKS_TO_SPACE);
    EXPECT_EQ(parse({"i", "o", "-r", "-R"}).mode, LINE_BREAKS_REMOVE);
    EXPECT_EQ(parse({"i", "o", "-R", "+", "/r"}).mode, LINE_BREAKS_TO_SPACE);
}

TEST(CommandLine, PositionalCount)
{
    EXPECT_EQ(parse({}).count, 1);
    EXPECT_EQ(parse({"i"}).count, 2);
    EXPECT_EQ(parse({"i", "o", "x"}).count, 4);
    EXPECT_EQ(parse({"-r", "i", "o"}).count, 1);
    EXPECT_EQ(parse({"i", "-r", "o"}).count, 2);
    EXPECT_EQ(parse({"i", "o", "-r", "x"}).count, 3);
}

TEST(CommandLine, SlashBeginsAPathUntilBothAreGiven)
{
#ifdef TESTS_ON_WINDOWS
    GTEST_SKIP() << "on Windows '/' always begins an option, as paths never do";
#endif
    EXPECT_EQ(parse({"/d/i", "/d/o"}).count, 3);
    EXPECT_EQ(parse({"i", "/d/o", "/R"}).mode, LINE_BREAKS_REMOVE);
    const parsed third = parse({"/d/i", "/d/o", "/x"});
    EXPECT_EQ(third.count, COMMAND_LINE_ILLEGAL_OPTION);
    // Before the paths, '/' is still a path; the run then lacks one.
    EXPECT_EQ(parse({"-r", "/d/i", "/d/o"}).count, 1);
}

TEST(CommandLine, IllegalLetterNamesTheRest)
{
    const parsed result = parse({"i", "o", "-rRxr"});
    EXPECT_EQ(result.count, COMMAND_LINE_ILLEGAL_OPTION);
    EXPECT_EQ(result.out, "\nIllegal option xr\n");
}

TEST(CommandLine, IniSwitchTakesTheNextArgumentAsOptions)
{
    EXPECT_EQ(parse({"i", "o", "-.ini", "-R"}).mode, LINE_BREAKS_REMOVE);
    EXPECT_EQ(parse({"i", "o", "-.Ini", "rR"}).mode, LINE_BREAKS_REMOVE);
    EXPECT_EQ(parse({"i", "o", "-.INI"}).count, 3);
    EXPECT_EQ(parse({"i", "o", "-.ini", "xr"}).mode, LINE_BREAKS_TO_SPACE);
    EXPECT_EQ(parse({"i", "o", "-.ini", "rxq"}).out, "\nIllegal option xq\n");
}

TEST(CommandLine, ExtraItemWarnsAndStops)
{
    const parsed result = parse({"i", "o", "-r", "extra", "-R"});
    EXPECT_EQ(result.count, 3);
    EXPECT_EQ(result.mode, LINE_BREAKS_TO_SPACE);
    EXPECT_EQ(result.out,
        "\nThere appears to be an extra or eroneous item \"extra\"\n"
        "at the end of the command line\n"
        "Please check your syntax, and correct to problem.\n");
}

}  // namespace

namespace {

void set_field_limit(const char* value)
{
#ifdef _WIN32
    _putenv_s("TROVANEX_FIELD_LIMIT", value);
#else
    setenv("TROVANEX_FIELD_LIMIT", value, 1);
#endif
}

// Tests lower the limit from the environment; nothing else changes it.
TEST(CommandLine, FieldLimitOnlyLoweredByTheEnvironment)
{
    const std::pair<const char*, std::size_t> cases[]
        = {{"1", 1}, {"4096", 4096}, {"", HELD_FIELD_LIMIT}, {"0", HELD_FIELD_LIMIT}, {"-3", HELD_FIELD_LIMIT},
            {"12x", HELD_FIELD_LIMIT}, {"99999999999", HELD_FIELD_LIMIT}};
    for (const auto& [value, limit] : cases) {
        set_field_limit(value);
        EXPECT_EQ(splitter_settings().field_limit, limit) << '"' << value << '"';
    }
    set_field_limit("");
}

}  // namespace
