#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "settings/settings.h"
#include "support.h"

namespace {

TEST(Paths, SplitAndJoin)
{
    const path_parts full = split_path("/opt/x.y/tool.bin");
    EXPECT_EQ(full.drive, "");
    EXPECT_EQ(full.dir, "/opt/x.y/");
    EXPECT_EQ(full.base, "tool");
    EXPECT_EQ(full.ext, ".bin");
    const path_parts bare = split_path("/opt/x.y/tool");
    EXPECT_EQ(bare.base, "tool");
    EXPECT_EQ(bare.ext, "");
    EXPECT_EQ(split_path("tool").dir, "");
#ifdef TESTS_ON_WINDOWS
    EXPECT_EQ(join_path("", "/opt", "tool", "ini"), "/opt\\tool.ini");  // the separator added is the system's
#else
    EXPECT_EQ(join_path("", "/opt", "tool", "ini"), "/opt/tool.ini");
#endif
    EXPECT_EQ(join_path("", "/opt/", "tool", ".ini"), "/opt/tool.ini");
    EXPECT_EQ(join_path("", "", "KALDOVIR.INI", ""), "KALDOVIR.INI");
}

TEST(Paths, OverlongNamesDoNotExist)
{
    EXPECT_FALSE(file_exists(std::string(10000, 'a')));
    EXPECT_FALSE(file_exists("/" + std::string(300, 'b') + "/x"));
}

TEST(Settings, CandidatesInOrder)
{
    const auto candidates = settings_candidates(split_path("/opt/bin/tool"));
    const std::string expected[] = {"tool.ini", "/opt/bin/tool.ini", "KALDOVIR.INI", "/opt/bin/KALDOVIR.INI",
        "TROVANEX.ini", "/opt/bin/TROVANEX.ini"};
    const settings_kind kinds[] = {settings_kind::program, settings_kind::program, settings_kind::shared,
        settings_kind::shared, settings_kind::program, settings_kind::program};
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        EXPECT_EQ(candidates[i].path, expected[i]);
        EXPECT_EQ(candidates[i].kind, kinds[i]);
    }
}

long lines_read(const std::string& content, settings_kind kind, const std::string& base = "tool")
{
    std::FILE* file = stream_with(content);
    const long lines = read_settings(file, kind, base);
    std::fclose(file);
    return lines;
}

TEST(Settings, ProgramFileIsReadToTheEnd)
{
    EXPECT_EQ(lines_read("a=1\n;comment\n[ANY]\nb=2\n[TOOL]\nc=3", settings_kind::program), 5);
    EXPECT_EQ(lines_read("", settings_kind::program), 0);
}

TEST(Settings, SharedFileOnlyTheProgramsSection)
{
    const std::string file = "[OTHER]\nx=1\n[tool] ; any case\n;c\nb=2\nc=3\n[NEXT]\nd=4\n";
    EXPECT_EQ(lines_read(file, settings_kind::shared), 2);
    EXPECT_EQ(lines_read("[OTHER]\nx=1\n", settings_kind::shared), 0);
    EXPECT_EQ(lines_read("[TOOL]\nx=1\nfoo [TOOL] bar\ny\n", settings_kind::shared), 1);
    EXPECT_EQ(lines_read("[TOOLBOX]\nx=1\n", settings_kind::shared), 0);
}

// A line longer than the read limit comes in pieces; a piece that happens
// to begin with '[' or ';' is still the middle of a line.
TEST(Settings, LongLinesAreNotMistakenForHeadersOrComments)
{
    const std::string filler(257, 'x');
    EXPECT_EQ(lines_read("[TOOL]\nk=" + filler + "[rest\nz=1\n", settings_kind::shared), 2);
    EXPECT_EQ(lines_read("[TOOL]\nk=" + filler + ";rest\nz=1\n", settings_kind::shared), 2);
    EXPECT_EQ(lines_read(";" + filler + "xx" + "a=1\nb=2\n", settings_kind::program), 1);
    EXPECT_EQ(lines_read(std::string(259, 'y') + "[TOOL]\na=1\n", settings_kind::shared), 0);
    EXPECT_EQ(lines_read("[TOOL]\n" + std::string(1000, 'v') + "\nw\n", settings_kind::shared), 2);
}

}  // namespace
