// The record splitter must read exactly as libcsv does. The fuzz target is
// the main check; these run its seeds, and a larger random input, through
// both scans, block sizes around the word edges and field limits from a
// byte up on every test run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "events.h"
#include "support.h"

namespace {

void expect_same_reading(const std::string& csv, const std::string& name)
{
    const reading_events expected = libcsv_events(csv);
    for (const vector_unit unit : vector_units()) {
        const unit_in_use use(unit);
        for (const std::size_t block : {16, 17, 63, 64, 65, 127, 200, 4096, 0}) {
            for (const std::size_t limit : {std::size_t {1}, std::size_t {2}, std::size_t {5}, HELD_FIELD_LIMIT}) {
                split_settings settings;
                settings.mark_line_breaks = block % 2 != 0;
                settings.field_limit = limit;
                if (block != 0)
                    settings.block_size = block;
                for (const std::size_t most_read : {std::size_t {1}, std::size_t {97}}) {
                    const reading_events got = split_events(csv, settings, most_read, 1, most_read != 1);
                    ASSERT_EQ(got.report.outcome, SPLIT_OK);
                    ASSERT_TRUE(got.text == expected.text)
                        << name << ": block " << block << ", field limit " << limit << ", " << vector_unit_name(unit)
                        << ", reads up to " << most_read;
                    ASSERT_EQ(got.report.records, expected.records) << name;
                    ASSERT_EQ(got.unclosed, expected.unclosed) << name;
                    ASSERT_LE(got.longest, settings.field_limit + settings.block_size) << name;
                }
            }
        }
    }
}

TEST(Split, FuzzSeedsReadAsLibcsvReadsThem)
{
    int seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SPLIT_SEEDS)) {
        const std::string bytes = read_file(entry.path().string());
        if (bytes.size() >= 3)
            expect_same_reading(bytes.substr(3), entry.path().filename().string());
        ++seeds;
    }
    EXPECT_GT(seeds, 20);
}

// Half a megabyte of the bytes that matter, crossing many blocks of every
// size, the default one included.
TEST(Split, RandomInputReadsAsLibcsvReadsIt)
{
    std::uint32_t seed = 2024;
    const char alphabet[] = {'a', 'b', ',', ',', '"', '"', '\r', '\n', ' ', '\t', '\0', '|'};
    std::string csv;
    while (csv.size() < 500000) {
        seed = seed * 1103515245u + 12345u;
        // Mostly well-formed records, with a stray byte now and then.
        if ((seed >> 16) % 5 != 0) {
            csv += "12,\"quoted, with \"\"doubled\"\" quotes\r\nand a break\",plain\r\n";
        } else {
            csv += alphabet[(seed >> 8) % sizeof alphabet];
        }
    }
    expect_same_reading(csv, "random");
}

// A regression that sent every record to libcsv would still read right;
// this is what catches it.
TEST(Split, PlainRecordsAreReadDirectly)
{
    const std::string plain = "a,b\r\n\"q, \"\"r\"\"\",\r\n \t\r\n\"multi\nline\",x\n";
    const reading_events clean = split_events(plain, {});
    EXPECT_EQ(clean.report.records, 3);
    EXPECT_EQ(clean.report.direct_records, 3);

    const reading_events quirk = split_events(plain + "x\"y,z\n\"a\" ,b\nc\n", {});
    EXPECT_EQ(quirk.report.records, 6);
    EXPECT_EQ(quirk.report.direct_records, 4);
}

}  // namespace
