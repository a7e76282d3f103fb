// Files that begin with a UTF-16 mark: each converts exactly as the same
// text in UTF-8 does, messages and record numbers included, and the output
// is that conversion in the input's own UTF-16. Input that is not UTF-16
// stops the run with the old output kept.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "common/common.h"
#include "e2e/harness.h"
#include "support.h"

namespace {

using namespace std::string_literals;

const std::string UTF8_MARK = "\xEF\xBB\xBF";
const std::string LE_MARK = "\xFF\xFE";
const std::string BE_MARK = "\xFE\xFF";

// Pipes, line breaks and doubled quotes next to text from past the Basic
// Multilingual Plane; the long one carries pairs across every read.
std::string long_text()
{
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += std::to_string(i) + ",\"Łódź|\U0001F600\r\n東京\",\"q\"\"\U00010348\"\"\"\r\n";
    return text;
}

TEST(Utf16, ConvertsAsTheSameTextInUtf8)
{
    const std::string texts[] = {
        "id,name\r\n1,\"東京|大阪\"\r\n2,\"a\r\nb\",\"\U0001F600\"\"x\"\"\"\r\n\r\n3, \U0010FFFF ",
        "",
        "\xEF\xBB\xBF,\"\"\n",  // a second mark is data
        long_text(),
    };
    for (const std::string& text : texts) {
        for (const char* option : {"-.ini", "-r", "-R"}) {
            SCOPED_TRACE(std::string(option) + ", " + std::to_string(text.size()) + " bytes");
            scratch_dir dir;
            write_file(dir.at("in8.csv"), UTF8_MARK + text);
            const run_result utf8 = run_program(dir.path, {"in8.csv", "out8.txt", option});
            ASSERT_EQ(utf8.status, 0);
            const std::string converted = read_file(dir.at("out8.txt"));
            ASSERT_EQ(converted.substr(0, 3), UTF8_MARK);

            for (const bool big_endian : {false, true}) {
                write_file(dir.at("in.csv"), (big_endian ? BE_MARK : LE_MARK) + utf16_of(text, big_endian));
                const run_result utf16 = run_program(dir.path, {"in.csv", "out.txt", option});
                EXPECT_EQ(utf16.status, 0);
                EXPECT_TRUE(utf16.out == utf8.out) << utf16.out.size() << " bytes against " << utf8.out.size();
                EXPECT_TRUE(utf16.err == utf8.err) << utf16.err.size() << " bytes against " << utf8.err.size();
                EXPECT_TRUE(read_file(dir.at("out.txt"))
                    == (big_endian ? BE_MARK : LE_MARK) + utf16_of(converted.substr(3), big_endian))
                    << (big_endian ? "big-endian" : "little-endian");
            }
        }
    }
}

TEST(Utf16, InputThatIsNotUtf16StopsTheRun)
{
    const std::string valid = utf16_of(long_text(), false);
    const std::string inputs[] = {
        LE_MARK + "a\0,\0"s + "\x00\xDC"s + "b\0"s,  // a low surrogate alone
        LE_MARK + valid.substr(0, 200000) + "\x3D\xD8\x41\x00"s + valid,  // a high one without its partner
        BE_MARK + "\0a\0b"s + "\xD8\x3D"s,  // a high one at the end
        LE_MARK + "a\0b"s,  // an odd last byte
    };
    for (const std::string& input : inputs) {
        scratch_dir dir;
        write_file(dir.at("in.csv"), input);
        write_file(dir.at("out.txt"), "old\r\n");
        const run_result result = run_program(dir.path, {"in.csv", "out.txt", "-.ini"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, console(fmt(MSG_READ_FAILED, "in.csv", std::strerror(EILSEQ))));
        EXPECT_EQ(read_file(dir.at("out.txt")), "old\r\n");
        EXPECT_EQ(dir.listing(), (std::set<std::string> {"in.csv", "out.txt"}));
    }
}

}  // namespace
