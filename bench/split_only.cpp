// The record splitter alone: reads a file as trovanex's first pass does,
// with callbacks that only count, and says how many records it read itself
// and how many went to libcsv.
// Usage: split_only FILE
#include <cstdio>

#include "platform/platform.h"
#include "split/split.h"

namespace {

struct counts {
    unsigned long long fields;
};

void count_field(void*, std::size_t, void* data)
{
    static_cast<counts*>(data)->fields += 1;
}

void count_piece(void*, std::size_t, int, void*) { }

void count_record(int, void*) { }

std::ptrdiff_t read_file(void* fd, unsigned char* into, std::size_t room)
{
    return read_some(*static_cast<int*>(fd), into, room);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: split_only FILE\n", stderr);
        return 2;
    }
    int fd = open_input_file(argv[1]);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    counts seen {};
    const split_report report = split_input(read_file, &fd, {count_field, count_piece, count_record, &seen});
    if (report.outcome != SPLIT_OK) {
        std::fputs("split failed\n", stderr);
        return 1;
    }
    std::printf("%llu fields, %lld records, %lld read directly (%.2f%%)\n", seen.fields,
        static_cast<long long>(report.records), static_cast<long long>(report.direct_records),
        report.records == 0 ? 100.0 : 100.0 * static_cast<double>(report.direct_records) / report.records);
    return 0;
}
