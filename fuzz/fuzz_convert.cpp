// Fuzz target: runs both passes in-process on arbitrary bytes and checks the
// output, byte for byte, against the plain model of the conversion. The
// first byte of each input chooses the line-break option.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/common.h"
#include "common/platform.h"
#include "convert/convert.h"
#include "model.h"

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_convert: %s\n", what);
        std::abort();
    }
}

bool directory_is_empty()
{
    DIR* dir = opendir(".");
    int entries = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            ++entries;
    }
    closedir(dir);
    return entries == 0;
}

char working_directory[] = "/tmp/trovanex-fuzz.XXXXXX";

void remove_working_directory()
{
    rmdir(working_directory);
}

}  // namespace

// Works in an empty directory of its own, so that any intermediate file left
// behind shows; the directory goes when the fuzzer exits.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    check(mkdtemp(working_directory) != nullptr && chdir(working_directory) == 0, "cannot make a working directory");
    std::atexit(remove_working_directory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int modes[] = {LINE_BREAKS_KEEP, LINE_BREAKS_TO_SPACE, LINE_BREAKS_REMOVE};
    const int mode = modes[data[0] % 3];
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

    reset_run_state();
    run_options.line_break_mode = mode;
    std::FILE* in = input.empty() ? std::fopen("/dev/null", "rb")
                                  : fmemopen(const_cast<char*>(input.data()), input.size(), "rb");
    std::FILE* intermediate = create_scratch_file();
    check(in != nullptr && intermediate != nullptr, "cannot open the streams");
    const first_pass_report pass = run_first_pass(in, intermediate);
    check(pass.outcome == PASS_OK, "the first pass failed");

    char* bytes = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&bytes, &length);
    check(finish_output(intermediate, out, pass.byte_order_mark) == FINISH_OK, "the finishing pass failed");
    std::fclose(out);
    std::fclose(intermediate);
    std::fclose(in);

    const model_result expected = model_conversion(input, mode);
    check(std::string_view(bytes, length) == expected.output, "the output differs from the model");
    check(run_counters.records_done == expected.records, "the record count differs from the model");
    check(run_counters.field_number == 0, "a field number is left over");
    check(pass.unclosed_record == expected.unclosed_record, "the unclosed-quote report differs from the model");
    check(directory_is_empty(), "an intermediate file was left behind");
    std::free(bytes);
    return 0;
}
