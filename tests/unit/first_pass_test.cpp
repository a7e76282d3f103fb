#include <gtest/gtest.h>

#include <csv.h>

#include <string>

#include "common/common.h"
#include "convert/convert.h"
#include "support.h"

namespace {

using namespace std::string_literals;

// Runs the first pass over the input, handed to the parser in pieces of the
// given size, and returns the intermediate file's bytes.
std::string intermediate_for(const std::string& input, std::size_t piece = 1024)
{
    reset_run_state();
    csv_parser parser;
    csv_init(&parser, 0);
    std::FILE* intermediate = std::tmpfile();
    for (std::size_t at = 0; at < input.size(); at += piece) {
        const std::size_t length = std::min(piece, input.size() - at);
        EXPECT_EQ(csv_parse(&parser, input.data() + at, length, on_field, on_record_end, intermediate), length);
    }
    csv_fini(&parser, on_field, on_record_end, intermediate);
    csv_free(&parser);
    std::string bytes = read_stream(intermediate);
    std::fclose(intermediate);
    return bytes;
}

TEST(FirstPass, FieldsAreQuotedAndJoined)
{
    EXPECT_EQ(intermediate_for("a,b\r\n"), "\"a\"|\"b\"\n");
    EXPECT_EQ(intermediate_for("a,b"), "\"a\"|\"b\"\n");
    EXPECT_EQ(intermediate_for("a,,b\n"), "\"a\"|\"\"|\"b\"\n");
    EXPECT_EQ(intermediate_for("\"x \"\"y\"\"\"\n"), "\"x \"\"y\"\"\"\n");
    EXPECT_EQ(intermediate_for("a,\"b\"\"c\",\n"), "\"a\"|\"b\"\"c\"|\"\"\n");
}

TEST(FirstPass, EmptyLinesMakeNoRecords)
{
    EXPECT_EQ(intermediate_for("a\n\n\r\n\rb\n"), "\"a\"\n\"b\"\n");
    EXPECT_EQ(run_counters.records_done, 2);
}

TEST(FirstPass, LineBreaksInsideFieldsStay)
{
    EXPECT_EQ(intermediate_for("\"p\nq\",r\n"), "\"p\nq\"|\"r\"\n");
    EXPECT_EQ(intermediate_for("\"\0\r\n\",\0\n"s), "\"\0\r\n\"|\"\0\"\n"s);
}

TEST(FirstPass, CountersFollowFieldsAndRecords)
{
    intermediate_for("a,b,c\nd");
    EXPECT_EQ(run_counters.records_done, 2);
    EXPECT_EQ(run_counters.field_number, 0);
}

TEST(FirstPass, ProgressEveryThousandRecords)
{
    std::string input;
    for (int i = 0; i < 2001; ++i)
        input += "x\n";
    testing::internal::CaptureStdout();
    intermediate_for(input);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\r     1000 records\r     2000 records");
}

// The parser must give the same records however the input is cut into
// pieces; quotes, CR LF pairs and separators land on every edge.
TEST(FirstPass, SameResultForEveryPieceSize)
{
    const std::string input =
        "a,\"b\"\"\r\nc\",d|e\r\n\"\",\"\"\"\"\r\n  x  ,\"y\" \n\n\"p\rq\",\"z,z\"\r\nlast";
    const std::string expected = intermediate_for(input, input.size());
    for (std::size_t piece = 1; piece < input.size(); ++piece)
        EXPECT_EQ(intermediate_for(input, piece), expected) << "piece size " << piece;
}

}  // namespace
