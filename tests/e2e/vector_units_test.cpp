// Every vector unit must convert exactly as the byte-by-byte reference
// does: the output, both message streams and the status. The inputs cross
// many of the splitter's blocks with every kind of record, so that plain
// stretches, the records that need care between them and the blocks'
// edges fall everywhere.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/common.h"
#include "decompress/decompress.h"
#include "e2e/harness.h"
#include "kernels/kernels.h"
#include "support.h"

namespace {

using namespace std::string_literals;

// Records of every kind, picked at random: plain ones mostly, and among
// them pipes, line breaks inside quotes, doubled quotes, blanks, empty
// fields and lines, bare CRs and LFs, zero bytes and stray quotes.
std::string mixed_records(std::uint32_t seed, std::size_t bytes)
{
    const std::string kinds[] = {
        "12,plain,345,words here\r\n"s,
        "\"quoted, with a comma\",\"said \"\"so\"\"\",x\r\n"s,
        "a|b,c,\"d|e|f\"\r\n"s,
        "\"line\r\nbreak\",\"bare\nLF\",\"bare\rCR\"\r\n"s,
        "  blanks  ,\t tabs\t,\"\",,\r\n"s,
        "\r\n\r\n  \t\r\n"s,
        "lf,only\n"s,
        "cr,only\r"s,
        "zero\0byte,\"\0\"\r\n"s,
        "x\"y,stray\r\n"s,
        "\"a\" ,after quote\r\n"s,
    };
    std::string text;
    while (text.size() < bytes) {
        seed = seed * 1103515245u + 12345u;
        const std::uint32_t pick = (seed >> 16) % 40;
        const std::size_t kind = pick < 30 ? pick % 2 : 2 + pick % 9;
        text += kinds[kind];
    }
    return text;
}

TEST(VectorUnits, EachConvertsAsTheReference)
{
    const std::string inputs[] = {
        mixed_records(7, 600000),
        // A record longer than a block, then plain ones again.
        "a,\"" + std::string(200000, 'x') + "\"\r\n" + mixed_records(11, 300000),
    };
    for (const std::string& input : inputs) {
        for (const char* option : {"-.ini", "-r", "-R"}) {
            scratch_dir reference_dir;
            write_file(reference_dir.at("in.csv"), input);
            launch reference_how;
            reference_how.environment = {"TROVANEX_VECTOR=portable"};
            const run_result reference = run_program(reference_dir.path, {"in.csv", "out.txt", option}, reference_how);
            ASSERT_EQ(reference.status, 0) << reference.err.substr(0, 500);
            const std::string output = read_file(reference_dir.at("out.txt"));
            for (const std::string& name : program_vector_units()) {
                if (name == "portable")
                    continue;
                SCOPED_TRACE(std::string(option) + ", " + name);
                scratch_dir dir;
                write_file(dir.at("in.csv"), input);
                launch how;
                how.environment = {std::string("TROVANEX_VECTOR=") + name};
                const run_result got = run_program(dir.path, {"in.csv", "out.txt", option}, how);
                EXPECT_EQ(got.status, reference.status);
                EXPECT_TRUE(got.out == reference.out) << got.out.size() << " bytes against " << reference.out.size();
                EXPECT_TRUE(got.err == reference.err) << got.err.size() << " bytes against " << reference.err.size();
                EXPECT_TRUE(read_file(dir.at("out.txt")) == output);
            }
        }
    }
}

// --version gives the version, then the units: on the native build
// exactly what the tests' own copy of the kernels finds on this processor,
// and for a foreign one what its architecture always has.
TEST(VectorUnits, ListedByVersion)
{
    std::string units = under_test().units;
    if (!under_test().qemu) {
        for (const vector_unit unit : vector_units())
            units += std::string(units.empty() ? "" : " ") + vector_unit_name(unit);
    }
    scratch_dir dir;
    const run_result version = run_program(dir.path, {"--version"});
    EXPECT_EQ(version.status, 0);
    const std::string first_lines = console(fmt(MSG_VERSION, PROGRAM_VERSION) + MSG_VECTOR_UNITS + " " + units + "\n");
    EXPECT_TRUE(version.out.starts_with(first_lines)) << version.out;
    // Then the compressed formats it reads: on the native build, what the
    // tests' own copy of the decompressors reads.
    std::string formats;
    if (under_test().emulator.empty()) {
        for (const char* format : readable_formats())
            formats += std::string(" ") + format;
        EXPECT_EQ(version.out, first_lines + console(std::string(MSG_COMPRESSED_FORMATS) + formats + "\n"));
    }
    EXPECT_EQ(version.err, "");
    EXPECT_TRUE(units.starts_with("portable"));
}

}  // namespace
