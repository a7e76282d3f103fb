// A field too long to hold whole goes on in pieces. Sent that way at a
// limit of a few bytes (TROVANEX_FIELD_LIMIT), each case must give exactly
// what it gives with its fields held whole: the output, both message
// streams, the status and the files left. The fields run past several of
// the program's blocks, so that pieces, and blanks whose fate is not yet
// known, cross from one to the next; in UTF-16 too, and with the output
// written in place, one pass after the other.
#include <gtest/gtest.h>

#include <unistd.h>

#include "e2e/harness.h"
#include "support.h"

namespace {

// More than two of the splitter's and the intermediate buffer's blocks.
constexpr std::size_t PAST_BLOCKS = 300000;

std::string repeat(const std::string& unit, std::size_t bytes = PAST_BLOCKS)
{
    std::string text;
    while (text.size() < bytes)
        text += unit;
    return text;
}

struct row {
    const char* name;
    const char* reason;
    std::string input;
    std::vector<std::string> options;
};

const row ROWS[] = {
    {"RunawayQuote", "a stray quote takes the rest of the file, pipes and line ends included",
        "id,name\r\n1,\"oops\r\n" + repeat("2,ab|c\r\n"), {"-.ini", "-r"}},
    {"LongUnquoted", "quotes and blanks inside are data, blanks at the end are not",
        "a," + repeat("word \"q\" ") + "  \t ,b\r\nc," + repeat("x  ") + "\n", {"-.ini"}},
    {"BlanksKept", "blanks after a closing quote stay when data follows them",
        "1,\"q\"" + repeat(" \t") + "x,y\r\n2,\"r\"" + repeat(" ") + "\"s\"" + repeat("\t") + "\"\n", {"-.ini"}},
    {"BlanksDropped", "...and go when a comma, a line end or the end of the file does",
        "1,\"q\"" + repeat(" \t") + ",y\r\n2,\"r\"" + repeat(" ") + "\r\n3,\"s\"" + repeat("\t "), {"-.ini"}},
    {"PipesLineEndsQuotes", "line breaks and the first pipe are cleaned in whichever piece they lie",
        "1,\"" + repeat("a|b\r\nc\"\"d \n") + "\",z\r\n2,\"\r\n" + repeat("e\"\"\r") + "|\"\n", {"-r", "-R"}},
};

void PrintTo(const row& r, std::ostream* os)
{
    *os << r.name;
}

class LongFields : public testing::TestWithParam<row> { };

TEST_P(LongFields, InPiecesAsWhole)
{
    const row& r = GetParam();
    SCOPED_TRACE(r.reason);
    for (const bool utf16 : {false, true}) {
        const std::string input = utf16 ? "\xFF\xFE" + utf16_of(r.input, false) : r.input;
        for (const std::string& option : r.options) {
            scratch_dir whole_dir;
            write_file(whole_dir.at("in.csv"), input);
            const run_result whole = run_program(whole_dir.path, {"in.csv", "out.txt", option});
            ASSERT_EQ(whole.status, 0) << whole.err;
            const std::string output = read_file(whole_dir.at("out.txt"));
            const struct {
                const char* limit;
                bool in_place;  // through a symbolic link
            } variants[] = {{"1", false}, {"4", false}, {"1", true}};
            for (const auto& [limit, in_place] : variants) {
                SCOPED_TRACE(std::string(utf16 ? "UTF-16, " : "") + option + ", limit " + limit
                    + (in_place ? ", in place" : ""));
                if (in_place && on_windows())
                    continue;  // the links are POSIX's; the passes' order is tested apart
                scratch_dir dir;
                write_file(dir.at("in.csv"), input);
                std::set<std::string> files {"in.csv", "out.txt"};
                if (in_place) {
                    ASSERT_EQ(symlink("out.txt", dir.at("link.txt").c_str()), 0);
                    files.insert("link.txt");
                }
                launch how;
                how.environment = {std::string("TROVANEX_FIELD_LIMIT=") + limit};
                const run_result pieces
                    = run_program(dir.path, {"in.csv", in_place ? "link.txt" : "out.txt", option}, how);
                EXPECT_EQ(pieces.status, whole.status) << pieces.err.substr(0, 500);
                EXPECT_TRUE(pieces.out == whole.out) << pieces.out.size() << " bytes against " << whole.out.size();
                EXPECT_TRUE(pieces.err == whole.err) << pieces.err.size() << " bytes against " << whole.err.size();
                EXPECT_TRUE(read_file(dir.at("out.txt")) == output);
                EXPECT_EQ(dir.listing(), files);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, LongFields, testing::ValuesIn(ROWS),
    [](const testing::TestParamInfo<row>& info) { return std::string(info.param.name); });

// The finishing pass gives what it has read of the intermediate file back
// to the system as it goes, while the first pass may still read a long
// field back from there to show it. Far enough in for that to have begun,
// such a field must show as it was: as when the passes run one after the
// other, through a symbolic link.
TEST(LongFields, ShownWhileTheFileIsGivenBack)
{
    SKIP_ON_WINDOWS("the links are POSIX's");
    // Pages go back 8 MiB at a time: the field begins within the first
    // 8 MiB and runs 16 MiB past them.
    constexpr std::size_t MIB = 1 << 20;
    const std::string input = repeat("1,plain,record\r\n", MIB / 4) + "2,\"long|" + repeat("field ", 4 * MIB)
        + "\",x\r\n" + repeat("3,more\r\n", MIB / 2);
    scratch_dir dir;
    write_file(dir.at("in.csv"), input);
    ASSERT_EQ(symlink("one.txt", dir.at("link.txt").c_str()), 0);
    const run_result both = run_program(dir.path, {"in.csv", "out.txt", "-.ini"});
    const run_result one = run_program(dir.path, {"in.csv", "link.txt", "-.ini"});
    EXPECT_EQ(both.status, 0);
    EXPECT_EQ(one.status, 0);
    EXPECT_TRUE(both.out == one.out) << both.out.size() << " bytes against " << one.out.size();
    EXPECT_TRUE(both.out.find("long|" + repeat("field ", 1000)) != std::string::npos);
    EXPECT_TRUE(read_file(dir.at("out.txt")) == read_file(dir.at("one.txt")));
}

}  // namespace
