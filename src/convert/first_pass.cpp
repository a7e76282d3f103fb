#include <cerrno>
#include <cstring>

#include <csv.h>

#include "common/common.h"
#include "convert/convert.h"

void on_field(void* bytes, std::size_t length, void* data)
{
    auto* intermediate = static_cast<output_buffer*>(data);
    auto* field = static_cast<unsigned char*>(bytes);
    run_counters.field_number += 1;
    length = clean_field(field, length);
    // The separator goes before a field rather than after it, so nothing
    // has to be taken back at the record's end.
    if (run_counters.field_number > 1)
        intermediate->put('|');
    intermediate->put_quoted(field, length);
}

void on_record_end(int /*terminator*/, void* data)
{
    static_cast<output_buffer*>(data)->put('\n');
    run_counters.records_done += 1;
    if (run_counters.records_done % 1000 == 0) {
        std::printf(MSG_PROGRESS, static_cast<long long>(run_counters.records_done));
        std::fflush(stdout);  // the line has no line end, so show it now
    }
    run_counters.field_number = 0;
}

namespace {

// Frees the parser's buffer on every path out of the pass.
struct parser_guard {
    csv_parser parser;
    ~parser_guard() { csv_free(&parser); }
};

// Delivers the record the input ends in. With the strict end check on,
// libcsv refuses to finish inside a quoted field; that is how such a field
// is told apart, before it is delivered all the same.
bool finish_parse(csv_parser& parser, output_buffer& intermediate)
{
    csv_set_opts(&parser, CSV_STRICT | CSV_STRICT_FINI);
    const bool closed = csv_fini(&parser, on_field, on_record_end, &intermediate) == 0;
    csv_set_opts(&parser, 0);
    if (!closed)
        csv_fini(&parser, on_field, on_record_end, &intermediate);
    return closed;
}

}  // namespace

first_pass_report run_first_pass(std::FILE* input, std::FILE* intermediate_file)
{
    first_pass_report report{};
    parser_guard guard;
    csv_init(&guard.parser, 0);
    output_buffer intermediate(intermediate_file);

    unsigned char piece[PIECE_SIZE];
    bool first_piece = true;
    std::size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, input)) > 0) {
        const unsigned char* data = piece;
        // A byte-order mark would make the first field unquoted; it is kept
        // out of the parser and handed on to the output as it is.
        if (first_piece && got >= sizeof BYTE_ORDER_MARK
            && std::memcmp(piece, BYTE_ORDER_MARK, sizeof BYTE_ORDER_MARK) == 0) {
            report.byte_order_mark = true;
            data += sizeof BYTE_ORDER_MARK;
            got -= sizeof BYTE_ORDER_MARK;
        }
        first_piece = false;
        if (csv_parse(&guard.parser, data, got, on_field, on_record_end, &intermediate) < got) {
            report.outcome = PASS_PARSE_FAILED;
            report.error = csv_error(&guard.parser);
            report.record = run_counters.records_done + 1;
            return report;
        }
        // A full disk stops the run here rather than after the whole input.
        if (intermediate.error_number != 0) {
            report.outcome = PASS_WRITE_FAILED;
            report.error = intermediate.error_number;
            return report;
        }
    }
    const std::int64_t last_record = run_counters.records_done + 1;
    if (!finish_parse(guard.parser, intermediate))
        report.unclosed_record = last_record;

    if (std::ferror(input)) {
        report.outcome = PASS_READ_FAILED;
    } else if (!intermediate.flush()) {
        report.outcome = PASS_WRITE_FAILED;
        report.error = intermediate.error_number;
    } else if (std::fflush(intermediate_file) != 0) {
        report.outcome = PASS_WRITE_FAILED;
        report.error = errno;
    }
    return report;
}
