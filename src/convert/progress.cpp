#include "convert/convert.h"

void publish_written(intermediate_progress& progress, std::uint64_t written)
{
    bool wanted;
    {
        const std::lock_guard<std::mutex> hold(progress.lock);
        progress.written = written;
        wanted = written >= progress.wanted;
    }
    // The finishing pass is woken for a good piece at a time, not for
    // every block.
    if (wanted)
        progress.moved.notify_one();
}

void publish_held_from(intermediate_progress& progress, std::uint64_t offset)
{
    const std::lock_guard<std::mutex> hold(progress.lock);
    progress.held_from = offset;
}

void publish_end(intermediate_progress& progress, bool failed)
{
    {
        const std::lock_guard<std::mutex> hold(progress.lock);
        progress.ended = true;
        progress.failed = failed;
    }
    progress.moved.notify_one();
}

void publish_finish_failed(intermediate_progress& progress)
{
    const std::lock_guard<std::mutex> hold(progress.lock);
    progress.finish_failed = true;
}

bool finish_has_failed(intermediate_progress& progress)
{
    const std::lock_guard<std::mutex> hold(progress.lock);
    return progress.finish_failed;
}
