#include <gtest/gtest.h>

#include <string>

#include "common/common.h"
#include "convert/field.h"
#include "convert/messages.h"
#include "support.h"

namespace {

using namespace std::string_literals;

struct cleaned {
    std::string field;
    std::string out;
    std::string err;
};

cleaned clean(std::string field, int mode, long long records_done = 0, long long field_number = 1)
{
    reset_run_state();
    run_options.line_break_mode = mode;
    run_counters.records_done = records_done;
    run_counters.field_number = field_number;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    field.resize(clean_field(reinterpret_cast<unsigned char*>(field.data()), field.size()));
    std::string out = testing::internal::GetCapturedStdout();
    return {field, out, testing::internal::GetCapturedStderr()};
}

std::string to_space(long long record)
{
    return fmt(MSG_LINE_BREAK_TO_SPACE, record);
}

std::string removed(long long record)
{
    return fmt(MSG_LINE_BREAK_REMOVED, record);
}

TEST(Clean, KeepLeavesLineBreaks)
{
    const cleaned result = clean("a\r\nb\n\rc", LINE_BREAKS_KEEP);
    EXPECT_EQ(result.field, "a\r\nb\n\rc");
    EXPECT_EQ(result.err, "");
}

TEST(Clean, ToSpaceReportsEachLineFeed)
{
    EXPECT_EQ(clean("a\r\nb", LINE_BREAKS_TO_SPACE).field, "a  b");
    EXPECT_EQ(clean("a\r\nb", LINE_BREAKS_TO_SPACE).err, to_space(1));
    const cleaned bare = clean("\n\nx\ry\n", LINE_BREAKS_TO_SPACE, 41);
    EXPECT_EQ(bare.field, "  x y ");
    EXPECT_EQ(bare.err, to_space(42) + to_space(42) + to_space(42));
    EXPECT_EQ(clean("a\rb", LINE_BREAKS_TO_SPACE).err, "");
}

TEST(Clean, RemoveCompactsAndReportsEachLineFeed)
{
    EXPECT_EQ(clean("a\r\nb", LINE_BREAKS_REMOVE).field, "ab");
    EXPECT_EQ(clean("a\r\nb", LINE_BREAKS_REMOVE).err, removed(1));
    const cleaned many = clean("\n\nxy", LINE_BREAKS_REMOVE, 9);
    EXPECT_EQ(many.field, "xy");
    EXPECT_EQ(many.err, removed(10) + removed(10));
    EXPECT_EQ(clean("\r\r\0\r"s, LINE_BREAKS_REMOVE).field, "\0"s);
    EXPECT_EQ(clean("\r\n", LINE_BREAKS_REMOVE).field, "");
}

TEST(Clean, FirstPipeOnlyIsReplacedAndShownBefore)
{
    const cleaned one = clean("a|b", LINE_BREAKS_KEEP, 4, 3);
    EXPECT_EQ(one.field, "a b");
    EXPECT_EQ(one.out, "\nRecord    5 has extra pipe in field no. 3, pipe changed to space:  \na|b\n");
    const cleaned two = clean("a|b|c", LINE_BREAKS_KEEP);
    EXPECT_EQ(two.field, "a b|c");
    EXPECT_EQ(two.out, fmt(MSG_EXTRA_PIPE, 1LL, 1LL) + "a|b|c\n");
}

TEST(Clean, PipeMessageShowsZeroBytesAndTheCleanedField)
{
    EXPECT_EQ(clean("\0|\0"s, LINE_BREAKS_KEEP).out, fmt(MSG_EXTRA_PIPE, 1LL, 1LL) + "\0|\0\n"s);
    // The pipe check sees the field after line breaks went.
    const cleaned after = clean("x\r\n|y", LINE_BREAKS_REMOVE);
    EXPECT_EQ(after.field, "x y");
    EXPECT_EQ(after.out, fmt(MSG_EXTRA_PIPE, 1LL, 1LL) + "x|y\n");
}

TEST(Clean, EmptyFieldNeedsNoBuffer)
{
    for (const int mode : {LINE_BREAKS_KEEP, LINE_BREAKS_TO_SPACE, LINE_BREAKS_REMOVE}) {
        reset_run_state();
        run_options.line_break_mode = mode;
        EXPECT_EQ(clean_field(nullptr, 0), 0u);
    }
}

TEST(Clean, RecordNumbersWiderThanFourColumns)
{
    EXPECT_EQ(clean("\n", LINE_BREAKS_REMOVE, 123455).err, "\nRecord 123456 has embedded carriage return, removed");
    EXPECT_EQ(
        clean("\n", LINE_BREAKS_REMOVE, 3000000000LL).err, "\nRecord 3000000001 has embedded carriage return, removed");
}

// The plain rules, byte by byte, to check the word-at-a-time walk against.
cleaned reference(const std::string& field, int mode)
{
    cleaned result;
    for (const char c : field) {
        if (mode != LINE_BREAKS_KEEP && (c == '\n' || c == '\r')) {
            if (c == '\n')
                result.err += mode == LINE_BREAKS_TO_SPACE ? to_space(1) : removed(1);
            if (mode == LINE_BREAKS_TO_SPACE)
                result.field += ' ';
        } else {
            result.field += c;
        }
    }
    const std::size_t pipe = result.field.find('|');
    if (pipe != std::string::npos) {
        result.out = fmt(MSG_EXTRA_PIPE, 1LL, 1LL) + result.field + "\n";
        result.field[pipe] = ' ';
    }
    return result;
}

// Line breaks and pipes at every offset of fields up to five words long,
// alone and in pairs, so each lands on both sides of every word edge, with
// every vector unit. Between them stand the bytes one above each, which a
// search a word at a time can take for them on machines of either order.
TEST(Clean, SpecialBytesAtEveryOffset)
{
    const char specials[] = {'\n', '\r', '|'};
    for (const vector_unit unit : vector_units()) {
        const unit_in_use use(unit);
        SCOPED_TRACE(vector_unit_name(unit));
        for (const int mode : {LINE_BREAKS_KEEP, LINE_BREAKS_TO_SPACE, LINE_BREAKS_REMOVE}) {
            for (std::size_t length = 1; length <= 40; ++length) {
                for (std::size_t at = 0; at < length; ++at) {
                    for (const char first : specials) {
                        for (const char second : specials) {
                            std::string field(length, 'x');
                            for (std::size_t i = 0; i < length; ++i)
                                field[i] = "}\x0B\x0Ex"[i % 4];
                            field[at] = first;
                            field[(at * 7 + 3) % length] = second;
                            const cleaned expected = reference(field, mode);
                            const cleaned actual = clean(field, mode);
                            ASSERT_EQ(actual.field, expected.field) << "mode " << mode << ", field " << field;
                            ASSERT_EQ(actual.out, expected.out) << "mode " << mode << ", field " << field;
                            ASSERT_EQ(actual.err, expected.err) << "mode " << mode << ", field " << field;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace

// While a pass runs, the reports are built in blocks, counted on in place
// and written by a thread of their own: the streams must hold what
// formatting each report on its own gives, in order, runs of one report
// crossing the blocks' edges and the numbers gaining digits included.
TEST(Clean, ReportsInBlocksAreTheReportsOneByOne)
{
    reset_run_state();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::string out, err;
    {
        const held_messages held;
        for (const long long first : {1LL, 998LL, 9'995LL, 99'998LL}) {
            for (long long done = first; done < first + 6; ++done) {
                run_counters.records_done = done;
                run_options.line_break_mode = done % 2 == 0 ? LINE_BREAKS_TO_SPACE : LINE_BREAKS_REMOVE;
                const auto line_feeds = static_cast<std::size_t>(done * 7919 % 9000);
                report_line_feeds_changed(line_feeds);
                for (std::size_t i = 0; i < line_feeds; ++i)
                    err += done % 2 == 0 ? to_space(done + 1) : removed(done + 1);
                run_counters.field_number = done % 3 + 1;
                report_pipe(reinterpret_cast<const unsigned char*>("a|\0b"), 4);
                out += fmt(MSG_EXTRA_PIPE, done + 1, done % 3 + 1) + "a|\0b\n"s;
                report_progress(done);
                out += fmt(MSG_PROGRESS, done);
            }
        }
    }
    const std::string got_out = testing::internal::GetCapturedStdout();
    const std::string got_err = testing::internal::GetCapturedStderr();
    EXPECT_GT(got_err.size(), 4u << 20);  // many blocks
    EXPECT_TRUE(got_out == out);
    EXPECT_TRUE(got_err == err);
}
