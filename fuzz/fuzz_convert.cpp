// Fuzz target: runs both passes in-process on arbitrary bytes and checks the
// output and the messages, byte for byte, against the plain model of the
// conversion. The first byte of each input chooses the line-break option,
// the second the most of a field held whole; the input's size chooses the
// splitter's block size and scan, and the finishing pass's scan: each the
// byte-by-byte one or the vector unit TROVANEX_VECTOR names.
#include <cstdint>
#include <string>

#include "common/common.h"
#include "decompress/decompress.h"
#include "in_memory.h"
#include "model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int mode = line_break_mode_of(data[0]);
    const std::string input(reinterpret_cast<const char*>(data + 2), size - 2);
    if (input.starts_with("\xFF\xFE") || input.starts_with("\xFE\xFF"))
        return 0;  // UTF-16, which fuzz_utf16 compares with this path
    const char* refused = nullptr;
    if (compression_of({data + 2, size - 2}, refused) != COMPRESSION_NONE || refused != nullptr)
        return 0;  // compressed, or a zip, which fuzz_unpack reads

    const in_memory_run run = convert_in_memory(input, mode, SPLIT_SMALLEST_BLOCK + size * 7 % 1500,
        vector_unit_of(static_cast<unsigned>(size)), vector_unit_of(static_cast<unsigned>(size / 3)),
        field_limit_of(data[1]));
    check(run.pass.outcome == PASS_OK, "the first pass failed");
    check(run.finished.outcome == PASS_OK, "the finishing pass failed");

    const model_result expected = model_conversion(input, mode);
    check(run.output == expected.output, "the output differs from the model");
    check(run.out == expected.out, "the messages on standard output differ from the model's");
    check(run.err == expected.err, "the messages on standard error differ from the model's");
    check(run_counters.records_done == expected.records, "the record count differs from the model");
    check(run_counters.field_number == 0, "a field number is left over");
    check(run.pass.unclosed_record == expected.unclosed_record, "the unclosed-quote report differs from the model");
    return 0;
}
