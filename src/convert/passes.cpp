#include "convert/first_pass.h"

#include <cerrno>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "convert/finish.h"
#include "platform/platform.h"

namespace {

// The finishing pass on a thread of its own, following the first through
// the hand-off. Owns the thread: it is joined on every path out, after the
// first pass has told its end.
struct follower {
    pass_handoff handoff;
    pass_report report {};
    std::thread thread;

    follower(int reader, int output, int release, bool write_back)
        : thread([this, reader, output, release, write_back] {
            report = guarded_pass(
                [&] { return finish_pass(reader, output, {ENCODING_BYTES, &handoff, release, write_back}); });
            if (report.outcome != PASS_OK && report.outcome != PASS_STOPPED)
                tell_finish_failed(handoff);
        })
    {
    }
    ~follower()
    {
        if (!thread.joinable())
            return;
        tell_end(handoff, true);  // in case the first pass never did
        thread.join();
    }
    follower(const follower&) = delete;
    follower& operator=(const follower&) = delete;

    pass_report finish()
    {
        thread.join();
        return report;
    }
};

// The report of both passes: the first failure that says why.
pass_report first_failure_of(const pass_report& first, const pass_report& finished)
{
    if (first.outcome != PASS_OK && first.outcome != PASS_STOPPED)
        return first;
    if (finished.outcome != PASS_OK)
        return finished;
    return first;
}

}  // namespace

pass_report finish_output(int intermediate, int output, input_encoding encoding, int release, bool write_back)
{
    return guarded_pass([&] { return finish_pass(intermediate, output, {encoding, nullptr, release, write_back}); });
}

pass_report run_passes_together(
    int input, int intermediate, int output, const split_settings& settings, bool write_back)
{
    // The finishing pass reads the intermediate file through a descriptor
    // of its own, so the two passes never share a file position.
    const descriptor reader(reopen_for_reading(intermediate));
    std::optional<follower> finishing;
    if (reader.fd >= 0) {
        try {
            finishing.emplace(reader.fd, output, intermediate, write_back);
        } catch (...) {
            // No second thread to be had: the same, one pass after the other.
        }
    }
    const pass_report first
        = run_first_pass_with(input, intermediate, settings, finishing ? &finishing->handoff : nullptr);
    if (finishing)
        return first_failure_of(first, finishing->finish());
    if (first.outcome != PASS_OK)
        return first;
    return first_failure_of(first, finish_output(intermediate, output, first.encoding, intermediate, write_back));
}
