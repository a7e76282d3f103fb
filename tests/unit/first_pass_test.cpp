#include <gtest/gtest.h>

#include <csv.h>

#include <algorithm>
#include <string>

#include "common/common.h"
#include "convert/field.h"
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
    std::FILE* file = std::tmpfile();
    intermediate_writer intermediate(descriptor_of(file));
    for (std::size_t at = 0; at < input.size(); at += piece) {
        const std::size_t length = std::min(piece, input.size() - at);
        EXPECT_EQ(csv_parse(&parser, input.data() + at, length, on_field, on_record_end, &intermediate), length);
    }
    csv_fini(&parser, on_field, on_record_end, &intermediate);
    csv_free(&parser);
    EXPECT_TRUE(intermediate.out.flush());
    std::string bytes = read_stream(file);
    std::fclose(file);
    return bytes;
}

TEST(FirstPass, FieldsAreQuotedAndJoined)
{
    EXPECT_EQ(intermediate_for("a,b\r\n"), "\"a\"|\"b\"\r\n");
    EXPECT_EQ(intermediate_for("a,b"), "\"a\"|\"b\"\r\n");
    EXPECT_EQ(intermediate_for("a,,b\n"), "\"a\"|\"\"|\"b\"\r\n");
    EXPECT_EQ(intermediate_for("\"x \"\"y\"\"\"\n"), "\"x \"\"y\"\"\"\r\n");
    EXPECT_EQ(intermediate_for("a,\"b\"\"c\",\n"), "\"a\"|\"b\"\"c\"|\"\"\r\n");
}

TEST(FirstPass, EmptyLinesMakeNoRecords)
{
    EXPECT_EQ(intermediate_for("a\n\n\r\n\rb\n"), "\"a\"\r\n\"b\"\r\n");
    EXPECT_EQ(run_counters.records_done, 2);
}

TEST(FirstPass, LineBreaksInsideFieldsStay)
{
    EXPECT_EQ(intermediate_for("\"p\nq\",r\n"), "\"p\nq\"|\"r\"\r\n");
    EXPECT_EQ(intermediate_for("\"\0\r\n\",\0\n"s), "\"\0\r\n\"|\"\0\"\r\n"s);
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
    const std::string input = "a,\"b\"\"\r\nc\",d|e\r\n\"\",\"\"\"\"\r\n  x  ,\"y\" \n\n\"p\rq\",\"z,z\"\r\nlast";
    const std::string expected = intermediate_for(input, input.size());
    for (std::size_t piece = 1; piece < input.size(); ++piece)
        EXPECT_EQ(intermediate_for(input, piece), expected) << "piece size " << piece;
}

std::string csv_quoted(const std::string& field)
{
    std::string text = "\"";
    for (const char c : field)
        text += c == '"' ? std::string("\"\"") : std::string(1, c);
    return text + "\"";
}

// Fields longer than the buffer are quoted in parts; the joins between
// parts must not show, wherever the quotes fall.
TEST(FirstPass, FieldsLongerThanTheBuffer)
{
    for (const std::size_t length : {65534u, 65535u, 65536u, 131071u, 131072u, 131073u, 400000u}) {
        std::string field(length, 'x');
        for (std::size_t at = 0; at < length; at += 65535)
            field[at] = '"';
        field[length - 1] = '"';
        std::FILE* file = std::tmpfile();
        output_buffer intermediate(descriptor_of(file));
        intermediate.put('>');
        intermediate.put('"');
        intermediate.put_doubled(reinterpret_cast<const unsigned char*>(field.data()), field.size());
        intermediate.put('"');
        intermediate.put('"');
        intermediate.put_doubled(nullptr, 0);
        intermediate.put('"');
        EXPECT_TRUE(intermediate.flush());
        std::string expected = ">";  // appended to, not added: g++ 12 warns falsely on "x" + string
        expected += csv_quoted(field);
        expected += "\"\"";
        const std::string written = read_stream(file);
        EXPECT_TRUE(written == expected) << "length " << length << ", " << written.size() << " bytes written, first "
                                         << std::mismatch(written.begin(), written.end(), expected.begin()).first
                - written.begin() << " agree";
        std::fclose(file);
    }
}

}  // namespace
