// Fuzz target: runs both passes in-process on arbitrary bytes and checks the
// output, byte for byte, against the plain model of the conversion. The
// first byte of each input chooses the line-break option; the input's size
// chooses the splitter's block size and scan, and the finishing pass's scan.
#include <dirent.h>
#include <sys/mman.h>
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

// A file in memory holding the bytes, read from its start.
int memory_file(std::string_view bytes)
{
    const int fd = memfd_create("fuzz", 0);
    check(fd >= 0 && write_all(fd, bytes.data(), bytes.size()) && lseek(fd, 0, SEEK_SET) == 0,
        "cannot make a file in memory");
    return fd;
}

std::string whole_file(int fd)
{
    std::string bytes;
    char piece[65536];
    std::ptrdiff_t got;
    for (std::uint64_t offset = 0; (got = read_some_at(fd, piece, sizeof piece, offset)) > 0; offset += got)
        bytes.append(piece, static_cast<std::size_t>(got));
    return bytes;
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
    const int in = memory_file(input);
    const int intermediate = create_scratch_file();
    const int out = memory_file("");
    check(intermediate >= 0, "cannot create the intermediate file");
    split_settings settings;
    settings.block_size = SPLIT_SMALLEST_BLOCK + size * 7 % 1500;
    settings.portable_scan = size % 2 != 0;
    const first_pass_report pass = run_first_pass(in, intermediate, settings);
    check(pass.outcome == PASS_OK, "the first pass failed");
    check(finish_output(intermediate, out, {pass.byte_order_mark, size % 3 == 0}).outcome == FINISH_OK,
        "the finishing pass failed");
    const std::string output = whole_file(out);
    close(out);
    close(intermediate);
    close(in);

    const model_result expected = model_conversion(input, mode);
    check(output == expected.output, "the output differs from the model");
    check(run_counters.records_done == expected.records, "the record count differs from the model");
    check(run_counters.field_number == 0, "a field number is left over");
    check(pass.unclosed_record == expected.unclosed_record, "the unclosed-quote report differs from the model");
    check(directory_is_empty(), "an intermediate file was left behind");
    return 0;
}
