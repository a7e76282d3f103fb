// The clean-up rules as the first pass applies them, through each of its
// readers: the splitter's stretches, its records one field at a time,
// libcsv, and a long field's pieces; each run against the plain model.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "common/common.h"
#include "in_memory.h"
#include "model.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

const int MODES[] = {LINE_BREAKS_KEEP, LINE_BREAKS_TO_SPACE, LINE_BREAKS_REMOVE};

// The runs share one empty working directory, as the fuzzers do.
void in_working_directory()
{
    static const bool entered = (enter_working_directory(), true);
    (void)entered;
}

// Converts input with every unit, every option, and each reader the
// splitter may take: large blocks (stretches; fields one at a time with
// the portable unit), the smallest (libcsv, for the records longer), and
// those with a field limit of a few bytes (a long field's pieces); each
// against the model.
void converts_as_the_model(const std::string& input, const char* what)
{
    in_working_directory();
    for (const vector_unit unit : vector_units()) {
        for (const int mode : MODES) {
            const model_result expected = model_conversion(input, mode);
            const struct {
                std::size_t block;
                std::size_t field_limit;
            } readers[] = {{SPLIT_BLOCK_SIZE, HELD_FIELD_LIMIT}, {SPLIT_SMALLEST_BLOCK, HELD_FIELD_LIMIT}, {SPLIT_SMALLEST_BLOCK, 5}};
            for (const auto& reader : readers) {
                SCOPED_TRACE(testing::Message() << what << ", " << vector_unit_name(unit) << ", mode " << mode
                                                << ", block " << reader.block << ", field limit "
                                                << reader.field_limit);
                const in_memory_run run = convert_in_memory(input, mode, reader.block, unit, unit, reader.field_limit);
                ASSERT_EQ(run.pass.outcome, PASS_OK);
                ASSERT_EQ(run.finished.outcome, PASS_OK);
                ASSERT_TRUE(run.output == expected.output);
                ASSERT_TRUE(run.out == expected.out);
                ASSERT_TRUE(run.err == expected.err);
                ASSERT_EQ(run_counters.records_done, expected.records);
            }
        }
    }
}

// Fields up to five words long with two of CR, LF and '|' each, at every
// offset, alone and in pairs, so each lands on both sides of every word
// and register edge. Between them stand the bytes one above each, which a
// search a word at a time can take for them on machines of either order.
std::vector<std::string> fields_with_special_bytes()
{
    const char specials[] = {'\n', '\r', '|'};
    std::vector<std::string> fields;
    for (std::size_t length = 1; length <= 40; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            for (const char first : specials) {
                for (const char second : specials) {
                    std::string field(length, 'x');
                    for (std::size_t i = 0; i < length; ++i)
                        field[i] = "}\x0B\x0Ex"[i % 4];
                    field[at] = first;
                    field[(at * 7 + 3) % length] = second;
                    fields.push_back(field);
                }
            }
        }
    }
    return fields;
}

TEST(Clean, SpecialBytesAtEveryOffset)
{
    // Quoted, each the only field of its record and one of three; and with
    // a doubled quote in it, which the splitter's stretches do not take.
    std::string alone, among, doubled;
    for (const std::string& field : fields_with_special_bytes()) {
        alone += '"' + field + "\"\n";
        among += "a,\"" + field + "\",b\r\n";
        doubled += "\"" + field + "\"\"\"\n";
    }
    converts_as_the_model(alone, "quoted fields");
    converts_as_the_model(among, "quoted fields between others");
    converts_as_the_model(doubled, "quoted fields with a doubled quote");
}

// Unquoted fields can hold a '|', not a line break; blanks around them go.
TEST(Clean, PipesInUnquotedFields)
{
    std::string input;
    for (std::size_t length = 1; length <= 40; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            std::string field(length, 'y');
            field[at] = '|';
            field[(at * 5 + 1) % length] = '|';
            input += " " + field + " ,\t" + field + "\n";
        }
    }
    converts_as_the_model(input, "unquoted fields");
}

// The pipe message shows a field as libcsv delivers it, quotes made one
// again, line breaks already changed; zero bytes are shown as they are.
TEST(Clean, DoubledQuotesPipesAndLineBreaksInOneField)
{
    using namespace std::string_literals;
    const std::string input = "\"a\"\"|b\"\n\"|\"\"\"\n\"\"\"|\"\"\"\n\"x\r\n\"\"|y\"\"\r\n|\",z\n\"\0|\"\"\0\"\n"
                              "\"\r\r\0\r\"\n\"\r\n\"\n\"\"\"\"\"\"|\r\n|\"\n"s;
    converts_as_the_model(input, "fields with doubled quotes and pipes");
}

// The conversion fuzzer's corpus, replayed as it runs it: both passes
// against the model, the input's first bytes choosing the option and the
// field limit.
TEST(Clean, ConversionFuzzCorpusConvertsAsTheModel)
{
    in_working_directory();
    DIR* corpus = opendir(CONVERT_SEEDS);
    ASSERT_NE(corpus, nullptr);
    int replayed = 0;
    while (const dirent* entry = readdir(corpus)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string seed = read_file(std::string(CONVERT_SEEDS) + "/" + entry->d_name);
        SCOPED_TRACE(entry->d_name);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
        ++replayed;
    }
    closedir(corpus);
    EXPECT_GT(replayed, 20);
}

}  // namespace
