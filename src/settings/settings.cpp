#include "settings/settings.h"

#include <cstring>

#include "common/common.h"

namespace {

constexpr const char SHARED_NAME[] = "KALDOVIR.INI";
constexpr const char OWN_NAME[] = "TROVANEX.ini";
constexpr int LINE_LIMIT = 260;

// Reads a settings file in pieces of at most LINE_LIMIT - 1 bytes, upper-
// cased, the line feed taken off. Only a piece that begins a line may count
// as a header or a comment: the rest of a long line is never mistaken for
// one.
struct piece_reader {
    std::FILE* file;
    char text[LINE_LIMIT];
    bool next_starts_line = true;
    bool starts_line = true;  // whether the piece in text begins a line

    bool next()
    {
        if (std::fgets(text, LINE_LIMIT, file) == nullptr)
            return false;
        starts_line = next_starts_line;
        const std::size_t length = std::strlen(text);
        next_starts_line = length > 0 && text[length - 1] == '\n';
        if (next_starts_line)
            text[length - 1] = '\0';
        upper_case(text);
        return true;
    }
};

}  // namespace

std::array<settings_candidate, 6> settings_candidates(const path_parts& program)
{
    const std::string& drive = program.drive;
    const std::string& dir = program.dir;
    return {{
        {join_path("", "", program.base, "ini"), settings_kind::program},
        {join_path(drive, dir, program.base, "ini"), settings_kind::program},
        {SHARED_NAME, settings_kind::shared},
        {join_path(drive, dir, SHARED_NAME, ""), settings_kind::shared},
        {OWN_NAME, settings_kind::program},
        {join_path(drive, dir, OWN_NAME, ""), settings_kind::program},
    }};
}

long read_settings(std::FILE* file, settings_kind kind, const std::string& base_name)
{
    piece_reader reader {file, {}};
    std::string header = "[" + base_name + "]";
    upper_case(header.data());

    if (kind == settings_kind::shared) {
        bool found = false;
        while (!found && reader.next())
            found = reader.starts_line && std::strncmp(reader.text, header.c_str(), header.size()) == 0;
        if (!found)
            return 0;
    }

    long lines = 0;
    bool in_comment = false;
    while (reader.next()) {
        if (reader.starts_line)
            in_comment = reader.text[0] == ';';
        if (in_comment)
            continue;
        if (kind == settings_kind::shared
            && ((reader.starts_line && reader.text[0] == '[') || std::strstr(reader.text, header.c_str()) != nullptr))
            break;
        if (reader.starts_line)
            ++lines;
    }
    return lines;
}

void find_settings_file(char** argv)
{
    for (char** argument = argv; *argument != nullptr; ++argument) {
        if (equal_ignoring_case(*argument, "-.ini"))
            return;
    }
    const path_parts program = split_path(program_path());
    for (const settings_candidate& candidate : settings_candidates(program)) {
        if (!file_exists(candidate.path))
            continue;
        std::FILE* file = open_settings_file(candidate.path);
        if (file == nullptr) {
            console_print(stdout, "%s", MSG_SETTINGS_UNOPENABLE);
            // The wait is for a person at a terminal; a batch run, whose
            // input may be a pipe that never ends, goes on at once.
            if (is_terminal(0)) {
                console_flush(stdout);
                std::getchar();
            }
            return;
        }
        read_settings(file, candidate.kind, program.base);
        std::fclose(file);
        return;
    }
}
