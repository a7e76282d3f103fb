// The floor for any libcsv-based converter: reads a file in 1024-byte
// pieces and only counts fields and records.
// Usage: parse_only FILE
#include <csv.h>

#include <cstdio>

namespace {

struct counts {
    unsigned long long fields;
    unsigned long long records;
};

void count_field(void*, std::size_t, void* data)
{
    static_cast<counts*>(data)->fields += 1;
}

void count_record(int, void* data)
{
    static_cast<counts*>(data)->records += 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: parse_only FILE\n", stderr);
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    csv_parser parser;
    csv_init(&parser, 0);
    counts seen {};
    unsigned char piece[1024];
    std::size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, in)) > 0) {
        if (csv_parse(&parser, piece, got, count_field, count_record, &seen) != got) {
            std::fprintf(stderr, "parse error: %s\n", csv_strerror(csv_error(&parser)));
            return 1;
        }
    }
    csv_fini(&parser, count_field, count_record, &seen);
    csv_free(&parser);
    std::fclose(in);
    std::printf("%llu fields, %llu records\n", seen.fields, seen.records);
    return 0;
}
