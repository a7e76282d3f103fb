#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "convert/convert.h"
#include "support.h"

namespace {

using namespace std::string_literals;

std::string finish_with(const std::string& intermediate, vector_unit unit)
{
    const unit_in_use use(unit);
    std::FILE* in = stream_with(intermediate);
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(finish_output(descriptor_of(in), descriptor_of(out)).outcome, PASS_OK);
    std::string bytes = read_stream(out);
    std::fclose(in);
    std::fclose(out);
    return bytes;
}

// The output, which every vector unit must give as well.
std::string finish(const std::string& intermediate)
{
    std::string bytes = finish_with(intermediate, vector_unit::portable);
    for (const vector_unit unit : vector_units())
        EXPECT_TRUE(finish_with(intermediate, unit) == bytes) << vector_unit_name(unit) << " differs";
    return bytes;
}

TEST(Finish, EnclosingQuotesGo)
{
    EXPECT_EQ(finish("\"a\"|\"b\"\r\n"), "a|b\r\n");
    EXPECT_EQ(finish("\"a\"|\"\"|\"b\"\r\n"), "a||b\r\n");
    EXPECT_EQ(finish("\"\"\r\n"), "\r\n");
    EXPECT_EQ(finish(""), "");
}

TEST(Finish, BareFieldsStandAsTheyAre)
{
    EXPECT_EQ(finish("a|\"b\"|c\r\n|\r\nd\r\n"), "a|b|c\r\n|\r\nd\r\n");
    EXPECT_EQ(finish("a b|\"\"\"\"|\r\n"), "a b|\"\"|\r\n");
}

TEST(Finish, DoubledQuotesStayDoubled)
{
    EXPECT_EQ(finish("\"x \"\"y\"\"\"\r\n"), "x \"\"y\"\"\r\n");
    EXPECT_EQ(finish("\"\"\"\"\r\n"), "\"\"\r\n");
    EXPECT_EQ(finish("\"\"\"|\"\"\"\"\"\r\n"), "\"\"|\"\"\"\"\r\n");
}

TEST(Finish, LineBreaksAndZeroBytesInFieldsAreCarried)
{
    EXPECT_EQ(finish("\"ab\r\ncd\"|\"x\"\r\n"), "ab\r\ncd|x\r\n");
    EXPECT_EQ(finish("\"\n\n\"\r\n\"p\nq\"|\"\"\r\n"), "\n\n\r\np\nq|\r\n");
    EXPECT_EQ(finish("\"a\0b\"|\"\0\"\r\n"s), "a\0b|\0\r\n"s);
}

// Records longer than the work buffers, with a quote pair cut by every
// buffer edge in turn.
TEST(Finish, RecordsLongerThanTheBuffers)
{
    const std::size_t buffer = 131072;
    for (std::size_t offset = buffer - 3; offset <= buffer + 1; ++offset) {
        std::string field(offset - 1, 'x');
        field += "\"\"|\"\"";
        field += std::string(300000, 'y');
        const std::string intermediate = "\"" + field + "\"|\"z\"\r\n\"n\"\r\n";
        EXPECT_EQ(finish(intermediate), field + "|z\r\nn\r\n") << "offset " << offset;
    }
}

// Random records of awkward bytes, enough of them to cross many read
// pieces and word edges, each field quoted or, where it may be, bare: the
// output is always each record's fields, quotes still doubled, joined by
// '|' and ended by CR LF.
TEST(Finish, RandomRecords)
{
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const char alphabet[] = {'a', 'b', '"', '|', '\n', '\r', '\0', ' '};
    std::string intermediate, expected;
    while (intermediate.size() < 600000) {
        const unsigned fields = 1 + next() % 6;
        for (unsigned f = 0; f < fields; ++f) {
            std::string doubled;
            const unsigned length = next() % 3 == 0 ? next() % 40 : next() % 4;
            for (unsigned i = 0; i < length; ++i) {
                const char c = alphabet[next() % 8];
                doubled += c == '"' ? std::string("\"\"") : std::string(1, c);
            }
            const bool bare = doubled.find_first_of("\"|\r\n") == std::string::npos && next() % 2 == 0;
            const char* const separator = f > 0 ? "|" : "";
            intermediate += separator;
            intermediate += bare ? doubled : "\"" + doubled + "\"";
            expected += separator + doubled;
        }
        intermediate += "\r\n";
        expected += "\r\n";
    }
    EXPECT_TRUE(finish(intermediate) == expected);
}

TEST(Finish, WriteFailureIsReported)
{
    std::FILE* in = stream_with("\"a\"\r\n");
    std::FILE* out = std::fopen("/dev/full", "wb");
    ASSERT_NE(out, nullptr);
    const pass_report result = finish_output(descriptor_of(in), descriptor_of(out));
    EXPECT_EQ(result.outcome, PASS_OUTPUT_WRITE_FAILED);
    EXPECT_EQ(result.error, ENOSPC);
    std::fclose(in);
    std::fclose(out);
}

}  // namespace
