#include <cerrno>
#include <new>
#include <system_error>

#include "common/common.h"
#include "common/rules.h"
#include "convert/field.h"
#include "convert/messages.h"
#include "convert/first_pass.h"

namespace {

// The input as the splitter reads it, and the first pass's own reasons to
// stop it.
struct first_pass_input {
    decoded_input decoded;
    const intermediate_writer& writer;
    pass_handoff* handoff;
    bool encoding_told = false;
    int read_error = 0;  // errno of a failed read, 0 while none has failed
};

std::ptrdiff_t read_input(void* data, unsigned char* into, std::size_t room)
{
    auto& in = *static_cast<first_pass_input*>(data);
    // A full disk stops the run here rather than after the whole input, and
    // so does a finishing pass that has failed.
    if (in.writer.out.error() != 0 || in.writer.read_error != 0
        || (in.handoff != nullptr && finish_has_failed(*in.handoff)))
        return -1;
    const std::ptrdiff_t got = read_decoded(in.decoded, into, room);
    if (got < 0)
        in.read_error = errno;
    if (!in.encoding_told && in.decoded.mark_read && in.handoff != nullptr) {
        tell_encoding(*in.handoff, in.decoded.encoding);
        in.encoding_told = true;
    }
    return got;
}

// What the split's end says of the pass.
pass_report report_of(const split_report& split, first_pass_input& in, intermediate_writer& writer)
{
    pass_report report {PASS_OK, 0, 0, in.decoded.encoding, 0};
    if (split.outcome == SPLIT_PARSE_FAILED) {
        report.outcome = PASS_PARSE_FAILED;
        report.error = split.error;
        report.record = split.records + 1;
    } else if (writer.read_error != 0) {
        report.outcome = PASS_INTERMEDIATE_READ_FAILED;
        report.error = writer.read_error;
    } else if (split.outcome == SPLIT_STOPPED && in.decoded.invalid) {
        report.outcome = PASS_INPUT_INVALID;
        report.error = EILSEQ;
        report.reason = in.decoded.reason;
    } else if (split.outcome == SPLIT_STOPPED && in.read_error != 0) {
        report.outcome = PASS_INPUT_READ_FAILED;
        report.error = in.read_error;
    } else if (split.outcome == SPLIT_STOPPED && writer.out.error() == 0) {
        report.outcome = PASS_STOPPED;
    } else if (!writer.out.flush()) {
        report.outcome = PASS_INTERMEDIATE_WRITE_FAILED;
        report.error = writer.out.error();
    } else if (split.unclosed) {
        report.unclosed_record = split.records;
    }
    return report;
}

pass_report first_pass(int input, int intermediate, const split_settings& settings, pass_handoff* handoff)
{
    const held_messages messages;
    intermediate_writer writer(intermediate);
    follow_with(writer, handoff);
    first_pass_input in {decoded_input(input), writer, handoff};

    split_settings split_with = settings;
    split_with.mark_line_breaks = (run_clean_rules().looked_for & ~MARKED_BYTES) != 0;
    // The byte-by-byte reference takes every field through on_field.
    const split_stretch stretches = run_kernels.unit == vector_unit::portable ? nullptr : on_plain_stretch;
    const split_report split
        = split_input(read_input, &in, {on_field, on_field_piece, on_record_end, &writer, stretches}, split_with);
    return report_of(split, in, writer);
}

}  // namespace

pass_report run_first_pass_with(int input, int intermediate, const split_settings& settings, pass_handoff* handoff)
{
    const pass_report report = guarded_pass([&] { return first_pass(input, intermediate, settings, handoff); });
    if (handoff != nullptr)
        tell_end(*handoff, report.outcome != PASS_OK);
    return report;
}

pass_report run_first_pass(int input, int intermediate, const split_settings& settings)
{
    return run_first_pass_with(input, intermediate, settings, nullptr);
}
