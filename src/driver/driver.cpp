#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include <csv.h>

#include "common/common.h"
#include "convert/convert.h"
#include "decompress/decompress.h"
#include "driver/driver.h"
#include "platform/platform.h"

namespace {

int report_file_error(const char* format, const char* name, int error_number)
{
    console_print(stderr, format, name, std::strerror(error_number));
    return STATUS_FAILED;
}

// Says why the passes failed, if they did: the one place their failures
// become messages.
int check_passes(const pass_report& report, const char* input_path, const char* output_path)
{
    switch (report.outcome) {
    case PASS_OK:
        return STATUS_OK;
    case PASS_PARSE_FAILED:
        console_print(stderr, MSG_PARSE_ERROR, csv_strerror(report.error));
        console_print(stderr, MSG_PARSE_ERROR_RECORD, static_cast<long long>(report.record));
        return STATUS_FAILED;
    case PASS_INPUT_READ_FAILED:
        console_print(stderr, "%s", MSG_INPUT_READ_ERROR);
        return STATUS_FAILED;
    case PASS_INPUT_INVALID:
        if (report.reason != nullptr) {
            console_print(stderr, MSG_READ_FAILED, input_path, report.reason);
            return STATUS_FAILED;
        }
        return report_file_error(MSG_READ_FAILED, input_path, report.error);
    case PASS_INTERMEDIATE_WRITE_FAILED:
        return report_file_error(MSG_WRITE_FAILED, INTERMEDIATE_NAME, report.error);
    case PASS_INTERMEDIATE_READ_FAILED:
        return report_file_error(MSG_READ_FAILED, INTERMEDIATE_NAME, report.error);
    case PASS_OUTPUT_WRITE_FAILED:
        return report_file_error(MSG_WRITE_FAILED, output_path, report.error);
    case PASS_SYSTEM_FAILED:
        return report_file_error(MSG_CONVERT_FAILED, input_path, report.error);
    case PASS_STOPPED:
        break;
    }
    return STATUS_FAILED;
}

int report_success(const pass_report& report)
{
    if (report.unclosed_record != 0)
        console_print(stderr, MSG_UNCLOSED_QUOTE, static_cast<long long>(report.unclosed_record));
    console_print(stdout, MSG_SUMMARY, static_cast<long long>(run_counters.records_done));
    return STATUS_OK;
}

// The output written in place: the passes one after the other, and the
// output created only once the first pass has succeeded.
int convert_in_place(int input, int intermediate, const char* input_path, const char* output_path)
{
    const pass_report first = run_first_pass(input, intermediate, splitter_settings());
    if (const int status = check_passes(first, input_path, output_path); status != STATUS_OK)
        return status;

    descriptor output(create_output_file(output_path));
    if (output.fd < 0)
        return report_file_error(MSG_OPEN_FAILED, output_path, errno);
    const bool durable = durable_mode();
    const pass_report finished = finish_output(intermediate, output.fd, first.encoding, intermediate, durable);
    if (const int status = check_passes(finished, input_path, output_path); status != STATUS_OK)
        return status;
    if ((durable && !flush_file(output.fd)) || !close_file(output.release()))
        return report_file_error(MSG_WRITE_FAILED, output_path, errno);
    return report_success(first);
}

// The output staged beside the old one, both passes at once, and the new
// output put in the old one's place only when both have succeeded.
int convert_staged(int input, int intermediate, staged_output& staged, const char* input_path, const char* output_path)
{
    staged.durable = durable_mode();
    const pass_report report = run_passes_together(input, intermediate, staged.fd, splitter_settings(), staged.durable);
    if (const int status = check_passes(report, input_path, output_path); status != STATUS_OK)
        return status;
    if (!commit_output(staged, output_path))
        return report_file_error(MSG_WRITE_FAILED, output_path, errno);
    return report_success(report);
}

int convert(const char* input_path, const char* output_path)
{
    // The same file under another name would be replaced by its own
    // conversion, and lost.
    if (std::strcmp(input_path, output_path) == 0 || same_file(input_path, output_path)) {
        console_print(stderr, "%s", MSG_SAME_PATH);
        return STATUS_FAILED;
    }
    const descriptor input(open_input_file(input_path));
    if (input.fd < 0)
        return report_file_error(MSG_OPEN_FAILED, input_path, errno);
    const descriptor intermediate(create_scratch_file());
    if (intermediate.fd < 0)
        return report_file_error(MSG_OPEN_FAILED, INTERMEDIATE_NAME, errno);
    // An output that cannot be made is found out now, not after hours of
    // reading. A staged one is dropped on every path out but its commit.
    struct dropped_unless_placed {
        staged_output output;
        ~dropped_unless_placed() { discard_output(output); }
    } staged {stage_output(output_path)};
    if (staged.output.error != 0)
        return report_file_error(MSG_OPEN_FAILED, output_path, staged.output.error);
    if (staged.output.fd < 0)
        return convert_in_place(input.fd, intermediate.fd, input_path, output_path);
    return convert_staged(input.fd, intermediate.fd, staged.output, input_path, output_path);
}

// A message lost on the way to standard output is a failure too: the run
// says so, and the status is no longer 0. Standard error failing leaves
// nothing to say it with but the status.
int finish_console(int status)
{
    if (const int error = finish_console_stream(stdout); error != 0) {
        console_print(stderr, MSG_WRITE_FAILED, STANDARD_OUTPUT_NAME, std::strerror(error));
        if (status == STATUS_OK)
            status = STATUS_FAILED;
    }
    if (finish_console_stream(stderr) != 0 && status == STATUS_OK)
        status = STATUS_FAILED;
    return status;
}

int run(int argc, char** argv)
{
    // Asked alone, these answer and do nothing else.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        print_usage(stdout);
        return STATUS_OK;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        console_print(stdout, MSG_VERSION, PROGRAM_VERSION);
        console_print(stdout, "%s", MSG_VECTOR_UNITS);
        for (const vector_unit unit : vector_units())
            console_print(stdout, " %s", vector_unit_name(unit));
        console_print(stdout, "\n%s", MSG_COMPRESSED_FORMATS);
        for (const char* format : readable_formats())
            console_print(stdout, " %s", format);
        console_print(stdout, "\n");
        return STATUS_OK;
    }
    const int count = parse_command_line(argv, argc);
    if (count == COMMAND_LINE_ILLEGAL_OPTION)
        return STATUS_ILLEGAL_OPTION;
    if (count != 3) {
        print_usage(stderr);
        return STATUS_FAILED;
    }
    return convert(argv[1], argv[2]);
}

// Memory or a thread that could not be had, wherever that was found out:
// the run says so, and everything on the way out, a staged output
// included, has been let go of.
int run_guarded(int argc, char** argv)
{
    const char* const input_path = argc > 1 ? argv[1] : "";
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return report_file_error(MSG_CONVERT_FAILED, input_path, ENOMEM);
    } catch (const std::system_error& e) {
        return report_file_error(MSG_CONVERT_FAILED, input_path, e.code().value());
    }
}

}  // namespace

vector_unit chosen_vector_unit()
{
    vector_unit unit = best_vector_unit();
    const char* const name = std::getenv("TROVANEX_VECTOR");
    if (name != nullptr && !vector_unit_named(name, unit))
        console_print(stderr, MSG_VECTOR_UNIT_UNKNOWN, name, vector_unit_name(unit));
    return unit;
}

bool durable_mode()
{
    const char* const asked = std::getenv("TROVANEX_SYNC");
    if (asked == nullptr)
        return false;
    for (const char* off : {"", "0", "no", "false", "off"}) {
        if (equal_ignoring_case(asked, off))
            return false;
    }
    return true;
}

split_settings splitter_settings()
{
    split_settings settings;
    const char* const limit = std::getenv("TROVANEX_FIELD_LIMIT");
    if (limit != nullptr && *limit >= '1' && *limit <= '9') {
        char* end = nullptr;
        const unsigned long long bytes = std::strtoull(limit, &end, 10);
        if (*end == '\0' && bytes < settings.field_limit)
            settings.field_limit = static_cast<std::size_t>(bytes);
    }
    return settings;
}

int convert_file(int argc, char** argv)
{
    if (!claim_standard_descriptors()) {
        // Nothing may be opened while a standard descriptor's number is
        // free; standard error, if it is there, says why.
        std::fprintf(stderr, MSG_OPEN_FAILED, NULL_DEVICE_NAME, std::strerror(errno));
        return STATUS_FAILED;
    }
    prepare_console_streams();
    // Messages about changed fields can come by the million; unless a
    // person is watching, they are written in blocks, not one by one.
    static char error_buffer[65536];
    static char message_buffer[65536];
    if (!is_terminal(2))
        std::setvbuf(stderr, error_buffer, _IOFBF, sizeof error_buffer);
    if (!is_terminal(1))
        std::setvbuf(stdout, message_buffer, _IOFBF, sizeof message_buffer);
    else
        std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    if (is_terminal(2))
        std::setvbuf(stderr, nullptr, _IONBF, 0);

    reset_run_state();
    use_vector_unit(chosen_vector_unit());
    return finish_console(run_guarded(argc, argv));
}
