// Fuzz target: the record splitter against libcsv alone. libcsv's reading
// is the definition of a field and a record, so for any input the splitter
// must deliver exactly the fields (bytes and lengths) and record ends that
// libcsv delivers, whether libcsv gets the input in one call or in random
// pieces, and whatever the block size, read sizes and scan.
//
// Plain records come a stretch at a time or a field at a time, and the
// stretches are read back and their marks checked, so that the two ways
// agree wherever the blocks' edges fall.
//
// Input layout: byte 0 chooses the block size, byte 1 the scan (bit 0:
// byte by byte, or the vector unit TROVANEX_VECTOR names, the widest by
// default), stretches (bit 1), their marks (bit 2) and the seed for the
// sizes of reads and of libcsv's pieces, byte 2 the most of a field held
// whole (a few bytes, so that nearly every field libcsv reads goes on in
// pieces, or the default); the rest is CSV.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"
#include "events.h"

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_split: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::string_view csv(reinterpret_cast<const char*>(data + 3), size - 3);

    const reading_events whole = libcsv_events(csv);
    const reading_events pieces = libcsv_events(csv, 1 + data[1] % 37, data[1]);
    check(pieces.text == whole.text && pieces.unclosed == whole.unclosed, "libcsv differs with its pieces");

    split_settings settings;
    settings.block_size = SPLIT_SMALLEST_BLOCK + 4 * std::size_t {data[0]};
    static const vector_unit forced = chosen_vector_unit();
    use_vector_unit((data[1] & 1) != 0 ? vector_unit::portable : forced);
    settings.mark_line_breaks = (data[1] & 4) != 0;
    settings.field_limit = data[2] < 224 ? std::size_t {1} + data[2] % 16 : HELD_FIELD_LIMIT;
    const reading_events split = split_events(csv, settings, 97, data[1], (data[1] & 2) != 0);
    check(split.report.outcome == SPLIT_OK, "the split failed");
    check(split.text == whole.text, "the splitter's fields differ from libcsv's");
    check(split.longest <= settings.field_limit + settings.block_size, "a field was held whole past the limit");
    check(split.report.records == whole.records, "the record count differs");
    check(split.unclosed == whole.unclosed, "the unclosed quote is told differently");
    return 0;
}
