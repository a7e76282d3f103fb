#include <cerrno>
#include <cstring>
#include <memory>

#include <csv.h>

#include "common/common.h"
#include "common/platform.h"
#include "convert/convert.h"
#include "driver/driver.h"

namespace {

constexpr std::size_t FILE_BUFFER_SIZE = 131072;

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

int report_file_error(const char* format, const char* name, int error_number)
{
    std::fprintf(stderr, format, name, std::strerror(error_number));
    return STATUS_FAILED;
}

// Says why the first pass failed, if it did.
int check_first_pass(const first_pass_report& pass)
{
    switch (pass.outcome) {
    case PASS_OK:
        return STATUS_OK;
    case PASS_PARSE_FAILED:
        std::fprintf(stderr, MSG_PARSE_ERROR, csv_strerror(pass.error));
        std::fprintf(stderr, MSG_PARSE_ERROR_RECORD, static_cast<long long>(pass.record));
        return STATUS_FAILED;
    case PASS_READ_FAILED:
        std::fputs(MSG_INPUT_READ_ERROR, stderr);
        return STATUS_FAILED;
    case PASS_WRITE_FAILED:
        return report_file_error(MSG_WRITE_FAILED, INTERMEDIATE_NAME, pass.error);
    }
    return STATUS_FAILED;
}

int convert(const char* input_path, const char* output_path)
{
    if (std::strcmp(input_path, output_path) == 0) {
        std::fputs(MSG_SAME_PATH, stderr);
        return STATUS_FAILED;
    }
    // The input is read through a large buffer of its own: given none, the
    // C library keeps its 4 KiB default whatever size is asked for.
    const auto input_buffer = std::make_unique_for_overwrite<char[]>(FILE_BUFFER_SIZE);
    const file_handle input(open_input_file(input_path));
    if (!input)
        return report_file_error(MSG_OPEN_FAILED, input_path, errno);
    const file_handle intermediate(create_scratch_file());
    if (!intermediate)
        return report_file_error(MSG_OPEN_FAILED, INTERMEDIATE_NAME, errno);
    std::setvbuf(input.get(), input_buffer.get(), _IOFBF, FILE_BUFFER_SIZE);

    const first_pass_report pass = run_first_pass(input.get(), intermediate.get());
    if (const int status = check_first_pass(pass); status != STATUS_OK)
        return status;

    file_handle output(std::fopen(output_path, "wb"));
    if (!output)
        return report_file_error(MSG_OPEN_FAILED, output_path, errno);
    switch (finish_output(intermediate.get(), output.get(), pass.byte_order_mark)) {
    case FINISH_OK:
        break;
    case FINISH_READ_FAILED:
        return report_file_error(MSG_READ_FAILED, INTERMEDIATE_NAME, errno);
    case FINISH_WRITE_FAILED:
        return report_file_error(MSG_WRITE_FAILED, output_path, errno);
    }
    if (std::fclose(output.release()) != 0)
        return report_file_error(MSG_WRITE_FAILED, output_path, errno);

    if (pass.unclosed_record != 0)
        std::fprintf(stderr, MSG_UNCLOSED_QUOTE, static_cast<long long>(pass.unclosed_record));
    std::printf(MSG_SUMMARY, static_cast<long long>(run_counters.records_done));
    return STATUS_OK;
}

}  // namespace

int convert_file(int argc, char** argv)
{
    // Messages about changed fields can come by the million; unless a
    // person is watching, they are written in blocks, not one by one.
    static char error_buffer[65536];
    static char message_buffer[65536];
    if (!is_terminal(stderr))
        std::setvbuf(stderr, error_buffer, _IOFBF, sizeof error_buffer);
    if (!is_terminal(stdout))
        std::setvbuf(stdout, message_buffer, _IOFBF, sizeof message_buffer);

    reset_run_state();

    const int count = parse_command_line(argv, argc);
    if (count == COMMAND_LINE_ILLEGAL_OPTION)
        return STATUS_ILLEGAL_OPTION;
    if (count != 3) {
        print_usage();
        return STATUS_FAILED;
    }
    return convert(argv[1], argv[2]);
}
