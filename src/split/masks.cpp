#include "split/block.h"

void scan_block(block& b)
{
    const std::size_t words = (b.size + 63) / 64;
    run_kernels.scan_block(b, words);
    // Bytes past the data were scanned too; their bits go, and the word
    // after the last is clear for readings that look one word ahead.
    const std::uint64_t kept = b.size % 64 == 0 ? ~std::uint64_t {0} : (std::uint64_t {1} << (b.size % 64)) - 1;
    if (words > 0) {
        b.quotes[words - 1] &= kept;
        b.commas[words - 1] &= kept;
        b.line_ends[words - 1] &= kept;
        b.marks[words - 1] &= kept;
        b.blanks[words - 1] &= kept;
    }
    b.quotes[words] = b.commas[words] = b.line_ends[words] = b.marks[words] = b.blanks[words] = 0;
    b.bytes[b.size] = 0;
}
