// loader_fields MODE INPUT OUTPUT: prints each record of INPUT as trovanex
// writes it, one line per record, its fields in hex joined by ',', after
// checking that OUTPUT (trovanex's output for INPUT under MODE: -r, -R or
// -) is the same bytes the fields make. scripts/test-loaders compares what
// each database loaded against these lines.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/common.h"
#include "model.h"
#include "support.h"

int main(int argc, char** argv)
{
    if (argc != 4
        || (std::strcmp(argv[1], "-r") != 0 && std::strcmp(argv[1], "-R") != 0 && std::strcmp(argv[1], "-") != 0)) {
        std::fprintf(stderr, "usage: loader_fields -r|-R|- INPUT OUTPUT\n");
        return 2;
    }
    const int mode = argv[1][1] == 'r' ? LINE_BREAKS_TO_SPACE
        : argv[1][1] == 'R'            ? LINE_BREAKS_REMOVE
                                       : LINE_BREAKS_KEEP;
    const std::string input = read_file(argv[2]);
    if (input.rfind("\xFF\xFE", 0) == 0 || input.rfind("\xFE\xFF", 0) == 0) {
        std::fprintf(
            stderr, "%s is UTF-16, which the loaders are not tested with: convert it to UTF-8 first\n", argv[2]);
        return 2;
    }
    static const char digits[] = "0123456789abcdef";
    std::string line;
    const model_result expected = model_conversion(input, mode, [&line](const std::vector<std::string>& fields) {
        line.clear();
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i > 0)
                line += ',';
            for (const char byte : fields[i]) {
                line += digits[static_cast<unsigned char>(byte) >> 4];
                line += digits[static_cast<unsigned char>(byte) & 15];
            }
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
    });
    const std::string output = read_file(argv[3]);
    if (output != expected.output) {
        std::size_t at = 0;
        while (at < output.size() && at < expected.output.size() && output[at] == expected.output[at])
            ++at;
        std::fprintf(stderr, "%s is not what its fields make: it differs from byte %zu on\n", argv[3], at);
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
