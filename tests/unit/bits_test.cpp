// Searches a word at a time must find the first byte sought in memory
// order on machines of either byte order, whatever comes after it.
#include <gtest/gtest.h>

#include <string>

#include "common/bits.h"
#include "split/split.h"

namespace {

// Each byte sought at every offset of a field up to three words long, with
// the byte one above it, which the word trick flags too where a lower byte
// matches, at every offset before and after.
TEST(Bits, FindByteFindsTheFirst)
{
    for (const unsigned char sought : {'"', '|', '\n', '\r'}) {
        const auto decoy = static_cast<unsigned char>(sought + 1);
        for (std::size_t length = 1; length <= 24; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                for (std::size_t other = 0; other < length; ++other) {
                    std::basic_string<unsigned char> bytes(length, 'a');
                    bytes[other] = decoy;
                    bytes[at] = sought;
                    const unsigned char* found = find_byte(bytes.data(), bytes.data() + length, sought);
                    ASSERT_EQ(found - bytes.data(), static_cast<std::ptrdiff_t>(at))
                        << "byte " << int {sought} << " at " << at << ", " << int {decoy} << " at " << other;
                }
            }
        }
    }
}

// The byte one above a quote, then a doubled quote, in one word.
TEST(Bits, DoubledQuotesCollapseWhateverCameBefore)
{
    std::string field = "abcde#\"\"fghij";
    field.resize(collapse_quotes(reinterpret_cast<unsigned char*>(field.data()), field.size()));
    EXPECT_EQ(field, "abcde#\"fghij");
}

}  // namespace
