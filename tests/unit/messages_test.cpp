#include <gtest/gtest.h>

#include <string>

#include "common/common.h"
#include "convert/messages.h"
#include "support.h"

namespace {

using namespace std::string_literals;

std::string to_space(long long record)
{
    return fmt(MSG_LINE_BREAK_TO_SPACE, record);
}

std::string removed(long long record)
{
    return fmt(MSG_LINE_BREAK_REMOVED, record);
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
