// Compressed input, end to end. Each format, as its own tools write it (at
// several levels, in several members or frames, padded with zeros), named
// in.csv so that only its bytes can tell it, converts to exactly what the
// plain file does: output, both streams and status. Broken streams fail
// with a message naming the file and what is wrong, status 1, the old
// output kept and nothing beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/common.h"
#include "decompress/formats.h"
#include "e2e/harness.h"
#include "support.h"

namespace {

const std::string OLD_OUTPUT = "the previous output\r\n";

// Records with pipes, line breaks, doubled quotes and UTF-8, a few MB.
std::string sample_text()
{
    std::string text = "id,name,notes\r\n";
    for (int i = 0; text.size() < (3u << 20); ++i)
        text += std::to_string(i) + ",\"n\xC3\xA4me " + std::to_string(i % 97) + "\",\"a|b \"\"q\"\"\r\nline " + std::to_string(i)
            + "\"\r\n";
    return text;
}

const std::string& sample()
{
    static const std::string text = sample_text();
    return text;
}

// The bytes a shell command writes, given the sample's bytes as the file
// $ALL, and its two halves as $HALF and $REST.
std::string made_by(const std::string& command, const std::string& plain)
{
    const scratch_dir dir;
    write_file(dir.at("all"), plain);
    write_file(dir.at("half"), plain.substr(0, plain.size() / 2));
    write_file(dir.at("rest"), plain.substr(plain.size() / 2));
    const std::string script = "cd '" + dir.path + "' && ALL=all HALF=half REST=rest && { " + command + "; } >result";
    EXPECT_EQ(std::system(script.c_str()), 0) << command;
    return read_file(dir.at("result"));
}

struct outcome {
    int status;
    std::string out;
    std::string err;
    std::string output;
};

outcome convert(const std::string& input, const std::vector<std::string>& options = {"-r"})
{
    scratch_dir dir;
    write_file(dir.at("in.csv"), input);
    write_file(dir.at("out.txt"), OLD_OUTPUT);
    std::vector<std::string> args {"in.csv", "out.txt", "-.ini"};
    args.insert(args.end(), options.begin(), options.end());
    const run_result result = run_program(dir.path, args);
    EXPECT_EQ(dir.listing(), (std::set<std::string> {"in.csv", "out.txt"}));
    return {result.status, result.out, result.err, read_file(dir.at("out.txt"))};
}

struct written {
    const char* name;
    const char* command;  // makes the compressed file
};

// The format a command writes, by its first word.
const format_descriptor& format_made_by(const std::string& command)
{
    for (const format_descriptor* format : {&ZSTD_FORMAT, &BZIP2_FORMAT, &XZ_FORMAT}) {
        if (command.starts_with(format->name))
            return *format;
    }
    return GZIP_FORMAT;
}

bool program_reads(const format_descriptor& format)
{
    const std::vector<std::string>& formats = program_formats();
    return std::find(formats.begin(), formats.end(), format.name) != formats.end();
}

const written WRITTEN[] = {
    {"GzipFast", "gzip -1 -c $ALL"},
    {"GzipBest", "gzip -9 -c $ALL"},
    {"GzipTwoMembers", "gzip -c $HALF; gzip -c $REST"},
    {"GzipBgzf", "bgzip -c $ALL"},
    {"GzipPigz", "pigz -c $ALL"},
    {"GzipPaddedWithZeros", "gzip -c $ALL; head -c 10000 /dev/zero"},
    {"ZstdFast", "zstd -q -1 -c $ALL"},
    {"ZstdBest", "zstd -q -19 -c $ALL"},
    {"ZstdFramesAndASkippableOne", "zstd -q -c $HALF; printf 'P*M\\030\\004\\000\\000\\000skip'; zstd -q -c $REST"},
    {"ZstdWithChecksum", "zstd -q --check -c $ALL"},
    {"Bzip2Fast", "bzip2 -1 -c $ALL"},
    {"Bzip2TwoStreams", "bzip2 -c $HALF; bzip2 -c $REST"},
    {"XzFast", "xz -0 -c $ALL"},
    {"XzTwoStreamsAndPadding", "xz -c $HALF; xz -c $REST; head -c 8 /dev/zero"},
    {"XzNoCheck", "xz --check=none -c $ALL"},
};

class Compressed : public testing::TestWithParam<written> { };

// A build without a format's decompressor refuses it, and says so.
TEST_P(Compressed, ConvertsAsThePlainFile)
{
    static const outcome plain = convert(sample());
    const outcome unpacked = convert(made_by(GetParam().command, sample()));
    const format_descriptor& format = format_made_by(GetParam().command);
    if (!program_reads(format)) {
        EXPECT_EQ(unpacked.status, 1);
        EXPECT_EQ(unpacked.err, console(fmt(MSG_READ_FAILED, "in.csv", format.texts.not_built)));
        EXPECT_EQ(unpacked.output, OLD_OUTPUT);
        return;
    }
    EXPECT_EQ(unpacked.status, plain.status);
    EXPECT_TRUE(unpacked.out == plain.out);
    EXPECT_TRUE(unpacked.err == plain.err) << unpacked.err.substr(unpacked.err.size() > 300 ? unpacked.err.size() - 300 : 0);
    EXPECT_TRUE(unpacked.output == plain.output);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Compressed, testing::ValuesIn(WRITTEN),
    [](const testing::TestParamInfo<written>& info) { return std::string(info.param.name); });

// A mark in the compressed text is the text's mark: UTF-16 is read as
// such, and a UTF-8 mark kept out of the parser and written back.
TEST(Compressed, MarksInsideTheCompressedText)
{
    const std::string text = "a,\"b|c\"\r\n\"d\r\ne\",f\r\n";
    for (const std::string& marked : {"\xEF\xBB\xBF" + text, "\xFF\xFE" + utf16_of(text, false)}) {
        const outcome plain = convert(marked);
        for (const char* command : {"gzip -c $ALL", "zstd -q -c $ALL", "bzip2 -c $ALL", "xz -c $ALL"}) {
            SCOPED_TRACE(command);
            if (!program_reads(format_made_by(command)))
                continue;
            const outcome unpacked = convert(made_by(command, marked));
            EXPECT_EQ(unpacked.status, 0);
            EXPECT_EQ(unpacked.out, plain.out);
            EXPECT_EQ(unpacked.err, plain.err);
            EXPECT_TRUE(unpacked.output == plain.output);
        }
    }
}

// Plain bytes that only look like a name's compression are plain.
TEST(Compressed, APlainFileIsPlainWhateverItsName)
{
    scratch_dir dir;
    write_file(dir.at("x.gz"), "a,b\r\n");
    const run_result result = run_program(dir.path, {"x.gz", "out.txt", "-.ini"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dir.at("out.txt")), "a|b\r\n");
}

struct broken {
    const char* name;
    const char* command;  // makes the broken file from a good one, made
    const char* reason;  // as the message gives it
};

// Bytes at an offset of the made file replaced, as `dd` does it.
#define OVERWRITE(bytes, offset) "printf '" bytes "' | dd of=made bs=1 seek=" offset " conv=notrunc 2>/dev/null"

const broken BROKEN[] = {
    {"GzipCutShort", "gzip -c $ALL >made; truncate -s -100 made; cat made", "its gzip data are cut short"},
    {"GzipCorrupt", "gzip -c $ALL >made; " OVERWRITE("\\377\\377\\377\\377", "5000") "; cat made",
        "its gzip data are corrupt"},
    {"GzipChecksum", "gzip -c $ALL >made; " OVERWRITE("\\000\\000", "$(($(stat -c %s made) - 7))") "; cat made",
        "its gzip data fail their check (CRC or length)"},
    {"GzipGarbageAfter", "gzip -c $ALL; echo garbage", "after its last gzip member come bytes that are not gzip"},
    {"ZstdCutShort", "zstd -q -c $ALL >made; truncate -s -50 made; cat made", "its zstd data are cut short"},
    {"ZstdChecksum", "zstd -q --check -c $ALL >made; " OVERWRITE("\\125", "$(($(stat -c %s made) - 2))") "; cat made",
        "its zstd data fail their checksum"},
    {"ZstdWindowTooLarge", "zstd -q --long=28 -c <$ALL", "its zstd frame needs a window of over 128 MiB, more than trovanex allows"},
    {"Bzip2CutShort", "bzip2 -c $ALL >made; truncate -s -50 made; cat made", "its bzip2 data are cut short"},
    {"Bzip2Corrupt", "bzip2 -c $ALL >made; " OVERWRITE("\\125\\125\\125\\125", "3000") "; cat made",
        "its bzip2 data are corrupt, or fail their check"},
    {"XzCutShort", "xz -c $ALL >made; truncate -s -50 made; cat made", "its xz data are cut short"},
    {"XzCorrupt", "xz -c $ALL >made; " OVERWRITE("\\125\\125\\125\\125", "3000") "; cat made",
        "its xz data are corrupt, or fail their check"},
    {"XzDictionaryTooLarge", "xz --lzma2=preset=0,dict=200MiB -c $ALL",
        "its xz stream needs a dictionary of over 128 MiB, more than trovanex allows"},
    {"XzGarbageAfter", "xz -c $ALL; echo garbage", "after its last xz stream come bytes that are not xz"},
    {"ZipArchive", "zip -q - $ALL", MSG_ZIP_REFUSED},
};

class BrokenCompressed : public testing::TestWithParam<broken> { };

TEST_P(BrokenCompressed, FailsWithItsReasonAndKeepsTheOldOutput)
{
    const broken& b = GetParam();
    if (b.reason != MSG_ZIP_REFUSED && !program_reads(format_made_by(b.command)))
        GTEST_SKIP() << "this build does not read " << format_made_by(b.command).name;
    const outcome result = convert(made_by(b.command, sample()));
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.err.ends_with(console(fmt(MSG_READ_FAILED, "in.csv", b.reason))))
        << result.err.substr(result.err.size() > 300 ? result.err.size() - 300 : 0);
    EXPECT_EQ(result.output, OLD_OUTPUT);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, BrokenCompressed, testing::ValuesIn(BROKEN),
    [](const testing::TestParamInfo<broken>& info) { return std::string(info.param.name); });

// Hundreds of megabytes squeezed into a few hundred kilobytes convert in
// the same few MiB as any file.
TEST(Compressed, ADecompressionBombInFlatMemory)
{
    SKIP_ON_WINDOWS("the memory measured would be Wine's");
    SKIP_UNDER_QEMU("the memory measured would be the emulator's");
    if (!program_reads(ZSTD_FORMAT))
        GTEST_SKIP() << "this build does not read zstd";
    scratch_dir dir;
    const std::string record = "one,\"repeated record\"";  // 22 bytes with its line feed
    constexpr long records = 10000000;
    const std::string script = "cd '" + dir.path + "' && yes '" + record + "' | head -c " + std::to_string(records * 22)
        + " | zstd -q -c >in.csv";
    ASSERT_EQ(std::system(script.c_str()), 0);
    const run_result result = run_program(dir.path, {"in.csv", "out.txt", "-.ini"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.out.ends_with(summary(records)));
#ifndef UNDER_SANITIZER  // the sanitizer's own memory would be measured
    EXPECT_LT(result.peak_rss_kib, 24 * 1024);
#endif
}

}  // namespace
