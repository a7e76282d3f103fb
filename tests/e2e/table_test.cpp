// One row per behaviour: the program runs in a fresh directory holding
// in.csv, and every stream, the status, the output's bytes and the files
// left behind must match exactly.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "common/common.h"
#include "e2e/harness.h"
#include "support.h"

namespace {

using namespace std::string_literals;

const std::string USAGE = std::string(MSG_USAGE_1) + MSG_USAGE_2 + MSG_USAGE_3 + MSG_USAGE_4;

std::string extra_item(const char* item)
{
    return fmt(MSG_EXTRA_ITEM_1, item) + MSG_EXTRA_ITEM_2 + MSG_EXTRA_ITEM_3;
}

std::string to_space(long long record)
{
    return fmt(MSG_LINE_BREAK_TO_SPACE, record);
}

std::string removed(long long record)
{
    return fmt(MSG_LINE_BREAK_REMOVED, record);
}

std::string pipe(long long record, long long field, const std::string& shown)
{
    return fmt(MSG_EXTRA_PIPE, record, field) + shown + "\n";
}

// CR LF, a bare LF, a bare CR and several LFs in a row inside fields.
const std::string BREAKS = "id,text\r\n1,\"a\r\nb\"\r\n2,\"c\nd\",\"e\rf\"\r\n3,\"\n\n\ng\"\r\n";
const std::string BREAKS_TO_SPACE = "id|text\r\n1|a  b\r\n2|c d|e f\r\n3|   g\r\n";
const std::string BREAKS_TO_SPACE_ERR = to_space(2) + to_space(3) + to_space(4) + to_space(4) + to_space(4);
const std::string BREAKS_REMOVED = "id|text\r\n1|ab\r\n2|cd|ef\r\n3|g\r\n";
const std::string BREAKS_REMOVED_ERR = removed(2) + removed(3) + removed(4) + removed(4) + removed(4);

struct row {
    const char* name;
    const char* reason;
    std::vector<std::string> args;
    std::string input;  // written to in.csv
    std::string out;
    std::string err;
    int status;
    std::optional<std::string> output;  // bytes of the output; none: not created
    std::string output_name = "out.txt";
    const char* not_on_windows = nullptr;  // why the row cannot hold there
};

const std::vector<std::string> IO = {"in.csv", "out.txt"};

std::vector<std::string> io_and(std::vector<std::string> more)
{
    std::vector<std::string> args = IO;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

const row ROWS[] = {
    // Conversion.
    {"Plain", "fields joined by '|', CR LF line ends", IO, "a,b\r\nc,d\r\n", summary(2), "", 0, "a|b\r\nc|d\r\n"},
    {"NoFinalLineEnd", "the last record without a line end still counts", IO, "a,b", summary(1), "", 0, "a|b\r\n"},
    {"EmptyInput", "an empty input gives an empty output", IO, "", summary(0), "", 0, ""},
    {"EmptyLinesSkipped", "empty lines make no records", IO, "a\n\n\r\n\nb\n", summary(2), "", 0, "a\r\nb\r\n"},
    {"EmptyFields", "empty fields stay in place", IO, "a,,b\n,\n\"\"\n", summary(3), "", 0, "a||b\r\n|\r\n\r\n"},
    {"LeadingEmptyField", "an empty first field, before the parser has a buffer", IO, ",a\n", summary(1), "", 0,
        "|a\r\n"},
    {"DoubledQuotesStayDoubled", "only the enclosing quotes go", IO, "\"x \"\"y\"\"\"\n\"\"\"\"\n", summary(2), "", 0,
        "x \"\"y\"\"\r\n\"\"\r\n"},
    {"SpacesAroundUnquoted", "the parser drops spaces and tabs around unquoted fields", IO, " a ,\tb\t, \" c \" \n",
        summary(1), "", 0, "a|b| c \r\n"},
    {"CommaInQuotes", "a quoted comma is data", IO, "\"a,b\",c\n", summary(1), "", 0, "a,b|c\r\n"},
    {"CrLfKeptInField", "without options a CR LF inside a field stays", IO, "\"ab\r\ncd\",x\r\n", summary(1), "", 0,
        "ab\r\ncd|x\r\n"},
    {"BareLfKeptInField", "a bare LF inside a field comes out as it went in", IO, "\"p\nq\",z\n\"\n\n\",y\n",
        summary(2), "", 0, "p\nq|z\r\n\n\n|y\r\n"},
    {"BareCrKeptInField", "a bare CR inside a field comes out as it went in", IO, "\"p\rq\"\n", summary(1), "", 0,
        "p\rq\r\n"},
    {"ZeroByteInField", "zero bytes are data like any other", IO, "a\0b,\"\0\"\n"s, summary(1), "", 0, "a\0b|\0\r\n"s},
    {"Utf8Untouched", "bytes above 127 pass through", IO, "\xc3\xa9t\xc3\xa9,\xe2\x82\xac\n", summary(1), "", 0,
        "\xc3\xa9t\xc3\xa9|\xe2\x82\xac\r\n"},

    // Field clean-up.
    {"LineBreaksKept", "no option: line breaks stay, silently", IO, BREAKS, summary(4), "", 0,
        "id|text\r\n1|a\r\nb\r\n2|c\nd|e\rf\r\n3|\n\n\ng\r\n"},
    {"ToSpace", "-r: one space per CR and per LF, one message per LF", io_and({"-r"}), BREAKS, summary(4),
        BREAKS_TO_SPACE_ERR, 0, BREAKS_TO_SPACE},
    {"ToSpacePlus", "+r is -r", io_and({"+r"}), BREAKS, summary(4), BREAKS_TO_SPACE_ERR, 0, BREAKS_TO_SPACE},
    {"ToSpaceSlash", "/r is -r", io_and({"/r"}), BREAKS, summary(4), BREAKS_TO_SPACE_ERR, 0, BREAKS_TO_SPACE},
    {"Remove", "-R: line breaks go, one message per LF", io_and({"-R"}), BREAKS, summary(4), BREAKS_REMOVED_ERR, 0,
        BREAKS_REMOVED},
    {"LastLetterWins", "-rR removes", io_and({"-rR"}), BREAKS, summary(4), BREAKS_REMOVED_ERR, 0, BREAKS_REMOVED},
    {"LastArgumentWins", "-r -R removes", io_and({"-r", "-R"}), BREAKS, summary(4), BREAKS_REMOVED_ERR, 0,
        BREAKS_REMOVED},
    {"LastArgumentWinsBack", "-R +r turns to spaces", io_and({"-R", "+r"}), BREAKS, summary(4), BREAKS_TO_SPACE_ERR, 0,
        BREAKS_TO_SPACE},
    {"Pipes", "the first pipe of each field becomes a space and is shown", IO, "a|b,c,d|e|f,\r\n,x|\r\n",
        pipe(1, 1, "a|b") + pipe(1, 3, "d|e|f") + pipe(2, 2, "x|") + summary(2), "", 0, "a b|c|d e|f|\r\n|x \r\n"},
    {"PipeAfterRemoval", "the pipe is found in the field as -R left it", io_and({"-R"}), "\"p\r\n|q\"\n",
        pipe(1, 1, "p|q") + summary(1), removed(1), 0, "p q\r\n"},

    // Real-world input.
    {"ByteOrderMark", "a leading mark is not parsed, and is kept", IO, "\xEF\xBB\xBF\"a,b\",c\r\n", summary(1), "", 0,
        "\xEF\xBB\xBF"
        "a,b|c\r\n"},
    {"ByteOrderMarkOnly", "nothing but the mark", IO, "\xEF\xBB\xBF", summary(0), "", 0, "\xEF\xBB\xBF"},
    {"ByteOrderMarkLater", "a mark past the start is data", IO, "x,\xEF\xBB\xBF\"y\"\n", summary(1), "", 0,
        "x|\xEF\xBB\xBF\"\"y\"\"\r\n"},
    {"PartialByteOrderMark", "two of its three bytes are data", IO, "\xEF\xBB", summary(1), "", 0, "\xEF\xBB\r\n"},
    {"UnclosedQuote", "the field takes the rest of the file, and that is said", IO, "a\nb\nc,\"d\ne,f\n", summary(3),
        fmt(MSG_UNCLOSED_QUOTE, 3LL), 0, "a\r\nb\r\nc|d\ne,f\n\r\n"},
    {"UnclosedQuoteRemoved", "line breaks in it are still removed", io_and({"-R"}), "\"x\r\ny", summary(1),
        removed(1) + fmt(MSG_UNCLOSED_QUOTE, 1LL), 0, "xy\r\n"},
    {"ReopenedQuote", "a quote after the closing one reopens the field", IO, "\"a\"b,c", summary(1),
        fmt(MSG_UNCLOSED_QUOTE, 1LL), 0, "a\"\"b,c\r\n"},
    {"ClosedAtTheEnd", "a quoted field closed by the last byte is fine", IO, "a,\"b\"", summary(1), "", 0, "a|b\r\n"},

    // Command line.
    {"NoArguments", "usage text", {}, "a\n", "", USAGE, 1, std::nullopt},
    {"OneArgument", "usage text", {"in.csv"}, "a\n", "", USAGE, 1, std::nullopt},
    {"ThreePaths", "a third path is a wrong count, without a warning", io_and({"extra"}), "a\n", "", USAGE, 1,
        std::nullopt},
    {"IllegalOption", "the rest of the argument is named, then usage", io_and({"-rx"}), "a\n",
        fmt(MSG_ILLEGAL_OPTION, "x"), USAGE, 5, std::nullopt},
    {"IllegalOptionRest", "the text from the offending letter on", io_and({"-r", "+Rqr"}), "a\n",
        fmt(MSG_ILLEGAL_OPTION, "qr"), USAGE, 5, std::nullopt},
    {"ExtraItemAfterOptions", "a warning, then the run goes on", io_and({"-r", "extra"}), "a\n",
        extra_item("extra") + summary(1), "", 0, "a\r\n"},
    {"OptionFirst", "an option before the paths ends them at once", {"-r", "in.csv", "out.txt"}, "a\n",
        extra_item("in.csv"), USAGE, 1, std::nullopt},
    {"BareDash", "a lone '-' is accepted", io_and({"-"}), "a\n", summary(1), "", 0, "a\r\n"},
    {"PlusAndSlash", "'+' and '/' introduce options too", io_and({"+r", "/R", "-rR"}), "a\n", summary(1), "", 0,
        "a\r\n"},
    {"SlashIllegal", "'/' after both paths is an option prefix", io_and({"/x"}), "a\n", fmt(MSG_ILLEGAL_OPTION, "x"),
        USAGE, 5, std::nullopt},
    {"IniSwitch", "-.ini in any case, before options", io_and({"-.INI", "-R"}), "a\n", summary(1), "", 0, "a\r\n"},
    {"IniLast", "-.ini with nothing after it", io_and({"-.ini"}), "a\n", summary(1), "", 0, "a\r\n"},
    {"IniTakesNextAsOption", "the argument after -.ini is read as options", io_and({"-.ini", "rq"}), "a\n",
        fmt(MSG_ILLEGAL_OPTION, "q"), USAGE, 5, std::nullopt},
    {"SamePath", "input and output must differ", {"in.csv", "in.csv"}, "a\n", "", MSG_SAME_PATH, 1, std::nullopt},
    {"SameFileOtherName", "one file under two names is refused too", {"in.csv", "./in.csv"}, "a\n", "", MSG_SAME_PATH,
        1, std::nullopt},
    {"Help", "--help alone: the usage text on standard output", {"--help"}, "a\n", USAGE, "", 0, std::nullopt},
    {"HelpNotAlone", "anywhere else --help is an illegal option", io_and({"--help"}), "a\n",
        fmt(MSG_ILLEGAL_OPTION, "-help"), USAGE, 5, std::nullopt},
    {"SamePathOtherCase", "paths compare byte for byte", {"in.csv", "IN.CSV"}, "a\n", summary(1), "", 0, "a\r\n",
        "IN.CSV", "file names are case-insensitive, so IN.CSV is in.csv"},

    // Failures.
    {"MissingInput", "the system's reason is given", {"missing.csv", "out.txt"}, "", "",
        fmt(MSG_OPEN_FAILED, "missing.csv", std::strerror(ENOENT)), 1, std::nullopt},
    {"InputIsDirectory", "a directory is refused when opened", {".", "out.txt"}, "", "",
        fmt(MSG_OPEN_FAILED, ".", std::strerror(EISDIR)), 1, std::nullopt, "out.txt",
        "opening a directory fails with the system's own reason"},
    {"OutputDirectoryMissing", "found out before the input is read", {"in.csv", "no/out.txt"}, "a\n", "",
        fmt(MSG_OPEN_FAILED, "no/out.txt", std::strerror(ENOENT)), 1, std::nullopt},
    {"OutputDeviceFull", "a failed write is an error, not a success", {"in.csv", "/dev/full"}, "a\n", "",
        fmt(MSG_WRITE_FAILED, "/dev/full", std::strerror(ENOSPC)), 1, std::nullopt, "out.txt", "there is no /dev/full"},
};

// Keeps test listings readable: a row is shown by its name.
void PrintTo(const row& r, std::ostream* os)
{
    *os << r.name;
}

class Table : public testing::TestWithParam<row> { };

TEST_P(Table, Run)
{
    const row& r = GetParam();
    SCOPED_TRACE(r.reason);
    if (r.not_on_windows != nullptr) {
        SKIP_ON_WINDOWS(r.not_on_windows);
    }
    scratch_dir dir;
    write_file(dir.at("in.csv"), r.input);

    const run_result result = run_program(dir.path, r.args);

    EXPECT_EQ(result.status, r.status);
    EXPECT_EQ(result.out, console(r.out));
    EXPECT_EQ(result.err, console(r.err));
    std::set<std::string> expected_files {"in.csv"};
    if (r.output) {
        expected_files.insert(r.output_name);
        EXPECT_EQ(read_file(dir.at(r.output_name)), *r.output);
    }
    EXPECT_EQ(dir.listing(), expected_files);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Table, testing::ValuesIn(ROWS),
    [](const testing::TestParamInfo<row>& info) { return std::string(info.param.name); });

}  // namespace
