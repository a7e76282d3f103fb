// Which settings file is opened, seen from outside: a copy of the program
// named "tool" lives in bin/, runs in work/, and a file it cannot open at a
// place it looks makes it say "Couldn't open .ini file" exactly when that
// file is the one it picks. Such a file is an unreadable one on POSIX, run
// by another user when the tests run as root, and a folder on Windows.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "common/common.h"
#include "e2e/harness.h"
#include "support.h"

namespace {

const std::string PROGRAM_NAME = on_windows() ? "tool.exe" : "tool";

struct settings_setup {
    scratch_dir dir;
    std::string bin;
    std::string work = dir.at("work");
    launch how;

    explicit settings_setup(const std::string& program_folder = "bin")
        : bin(dir.at(program_folder))
    {
        if (!on_windows())
            how = unprivileged();
        std::filesystem::create_directories(bin);
        std::filesystem::create_directory(work);
        std::filesystem::copy_file(under_test().program, bin + "/" + PROGRAM_NAME);
        chmod(dir.path.c_str(), 0755);
        chmod(work.c_str(), 0777);
        write_file(work + "/in.csv", "a,\"b\r\nc\",d|e\r\n");
        how.program = bin + "/" + PROGRAM_NAME;
    }

    void readable(const std::string& path, const std::string& content = "[TOOL]\nkey=value\n") const
    {
        write_file(path, content);
        chmod(path.c_str(), 0644);
    }

    void unreadable(const std::string& path) const
    {
        if (on_windows()) {
            std::filesystem::create_directory(path);
            return;
        }
        write_file(path, "[TOOL]\n");
        chmod(path.c_str(), 0);
    }

    // Runs a conversion with -R and tells whether the program could not
    // open the settings file it picked.
    bool complains(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args {"in.csv", "out.txt", "-R"};
        args.insert(args.end(), extra.begin(), extra.end());
        const run_result result = run_program(work, args, how);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(read_file(work + "/out.txt"), "a|bc|d e\r\n");
        const std::string after = console(fmt(MSG_EXTRA_PIPE, 1LL, 3LL) + "d|e\n" + fmt(MSG_SUMMARY, 1LL));
        if (result.out == console(MSG_SETTINGS_UNOPENABLE) + after)
            return true;
        EXPECT_EQ(result.out, after);
        return false;
    }
};

TEST(SettingsLookup, NoFileAnywhere)
{
    settings_setup s;
    EXPECT_FALSE(s.complains());
}

TEST(SettingsLookup, ProgramFileInCurrentDirectoryComesFirst)
{
    settings_setup s;
    s.readable(s.work + "/tool.ini");
    s.unreadable(s.bin + "/tool.ini");
    s.unreadable(s.bin + "/KALDOVIR.INI");
    EXPECT_FALSE(s.complains());
}

TEST(SettingsLookup, EachPlaceWinsOverTheNext)
{
    const char* const places[] = {"work/tool.ini", "bin/tool.ini", "work/KALDOVIR.INI", "bin/KALDOVIR.INI",
        "work/TROVANEX.ini", "bin/TROVANEX.ini"};
    for (std::size_t winner = 0; winner < 6; ++winner) {
        SCOPED_TRACE(places[winner]);
        settings_setup s;
        s.unreadable(s.dir.at(places[winner]));
        for (std::size_t later = winner + 1; later < 6; ++later)
            s.readable(s.dir.at(places[later]));
        EXPECT_TRUE(s.complains());
    }
}

TEST(SettingsLookup, IniSwitchSkipsTheLookup)
{
    settings_setup s;
    s.unreadable(s.work + "/tool.ini");
    EXPECT_TRUE(s.complains());
    EXPECT_FALSE(s.complains({"-.ini"}));
    EXPECT_FALSE(s.complains({"-.INI", "-R"}));

    // Before the options: the argument after it is read as options.
    const run_result before = run_program(s.work, {"in.csv", "out.txt", "-.ini", "-R"}, s.how);
    EXPECT_EQ(before.out.find(MSG_SETTINGS_UNOPENABLE), std::string::npos);

    // As the program's own name.
    if (!on_windows()) {
        s.how.argv0 = "-.ini";
        EXPECT_FALSE(s.complains());
    }
}

TEST(SettingsLookup, NoSettingsFileChangesTheOutput)
{
    const std::string contents[] = {
        "[TOOL]\nr=1\n-R\n",
        "; only a comment\n",
        "[OTHER]\nx=1\n",
        "[TOOL]\n" + std::string(1000, 'L') + "\n[NEXT]\n",
        "\x01\x02\x03 binary \xff\n",
    };
    for (const char* const place : {"work/tool.ini", "bin/KALDOVIR.INI", "work/TROVANEX.ini"}) {
        for (const std::string& content : contents) {
            SCOPED_TRACE(place);
            settings_setup s;
            s.readable(s.dir.at(place), content);
            EXPECT_FALSE(s.complains());
        }
    }
}

// The program's own folder is found by whatever name it has.
TEST(SettingsLookup, ProgramFolderOfAnyName)
{
    for (const std::string& name : AWKWARD_NAMES) {
        SCOPED_TRACE(name);
        settings_setup s(name);
        s.unreadable(s.bin + "/tool.ini");
        EXPECT_TRUE(s.complains());
    }
}

}  // namespace
