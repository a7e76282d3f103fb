#include "convert/convert.h"

void publish_written(intermediate_progress& progress, std::uint64_t written)
{
    {
        const std::lock_guard<std::mutex> hold(progress.lock);
        progress.written = written;
    }
    progress.moved.notify_one();
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
