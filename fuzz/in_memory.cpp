#include "in_memory.h"

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/common.h"
#include "driver/driver.h"
#include "platform/platform.h"

namespace {

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

// Standard output and standard error caught in memory while a run lasts,
// as the program itself swaps its own streams in.
struct captured_streams {
    std::FILE* saved_out = stdout;
    std::FILE* saved_err = stderr;
    char* out_bytes = nullptr;
    char* err_bytes = nullptr;
    std::size_t out_size = 0;
    std::size_t err_size = 0;

    captured_streams()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        stdout = open_memstream(&out_bytes, &out_size);
        stderr = open_memstream(&err_bytes, &err_size);
        check(stdout != nullptr && stderr != nullptr, "cannot catch the messages");
    }

    // Ends the catch and gives what came.
    void end(std::string& out, std::string& err)
    {
        std::fclose(stdout);
        std::fclose(stderr);
        stdout = saved_out;
        stderr = saved_err;
        out.assign(out_bytes, out_size);
        err.assign(err_bytes, err_size);
        std::free(out_bytes);
        std::free(err_bytes);
    }
};

}  // namespace

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}

void enter_working_directory()
{
    check(mkdtemp(working_directory) != nullptr && chdir(working_directory) == 0, "cannot make a working directory");
    std::atexit(remove_working_directory);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enter_working_directory();
    return 0;
}

int line_break_mode_of(unsigned char choice)
{
    const int modes[] = {LINE_BREAKS_KEEP, LINE_BREAKS_TO_SPACE, LINE_BREAKS_REMOVE};
    return modes[choice % 3];
}

std::size_t field_limit_of(unsigned char choice)
{
    return choice < 224 ? 1 + choice % 16 : HELD_FIELD_LIMIT;
}

vector_unit vector_unit_of(unsigned choice)
{
    static const vector_unit forced = chosen_vector_unit();
    return choice % 2 != 0 ? vector_unit::portable : forced;
}

in_memory_run convert_in_memory(std::string_view input, int line_break_mode, std::size_t block_size,
    vector_unit split_unit, vector_unit finish_unit, std::size_t field_limit)
{
    reset_run_state();
    run_options.line_break_mode = line_break_mode;
    const int in = memory_file(input);
    const int intermediate = create_scratch_file();
    const int out = memory_file("");
    check(intermediate >= 0, "cannot create the intermediate file");
    split_settings settings;
    settings.block_size = block_size;
    settings.field_limit = field_limit;
    in_memory_run run {};
    captured_streams messages;
    use_vector_unit(split_unit);
    run.pass = run_first_pass(in, intermediate, settings);
    messages.end(run.out, run.err);
    if (run.pass.outcome == PASS_OK) {
        use_vector_unit(finish_unit);
        run.finished = finish_output(intermediate, out, run.pass.encoding);
        run.output = whole_file(out);
    }
    close(out);
    close(intermediate);
    close(in);
    check(directory_is_empty(), "an intermediate file was left behind");
    return run;
}
