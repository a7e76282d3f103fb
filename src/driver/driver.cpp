#include <cerrno>
#include <cstring>
#include <memory>

#include <csv.h>

#include "common/common.h"
#include "common/platform.h"
#include "convert/convert.h"
#include "driver/driver.h"

namespace {

// Closes a descriptor on every path out of a function. A failed close of
// a file written to is checked where it matters, through release().
struct descriptor {
    int fd;
    explicit descriptor(int opened)
        : fd(opened)
    {
    }
    ~descriptor()
    {
        if (fd >= 0)
            close_file(fd);
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    int release()
    {
        const int kept = fd;
        fd = -1;
        return kept;
    }
};

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
    const descriptor input(open_input_file(input_path));
    if (input.fd < 0)
        return report_file_error(MSG_OPEN_FAILED, input_path, errno);
    const descriptor intermediate(create_scratch_file());
    if (intermediate.fd < 0)
        return report_file_error(MSG_OPEN_FAILED, INTERMEDIATE_NAME, errno);

    const first_pass_report pass = run_first_pass(input.fd, intermediate.fd);
    if (const int status = check_first_pass(pass); status != STATUS_OK)
        return status;

    descriptor output(create_output_file(output_path));
    if (output.fd < 0)
        return report_file_error(MSG_OPEN_FAILED, output_path, errno);
    switch (finish_output(intermediate.fd, output.fd, {pass.byte_order_mark})) {
    case FINISH_OK:
        break;
    case FINISH_READ_FAILED:
        return report_file_error(MSG_READ_FAILED, INTERMEDIATE_NAME, errno);
    case FINISH_WRITE_FAILED:
        return report_file_error(MSG_WRITE_FAILED, output_path, errno);
    }
    if (!close_file(output.release()))
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
