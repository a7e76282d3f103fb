#include <cstdio>

#include "common/common.h"
#include "driver/driver.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace {

// Whether an argument introduces options, given how many positional
// arguments (program path included) have been seen so far.
bool begins_option(const char* argument, int positional_count)
{
    switch (argument[0]) {
    case '-':
    case '+':
        return true;
    case '/':
        return !SLASH_MAY_BEGIN_PATH || positional_count >= 3;
    default:
        return false;
    }
}

// Applies the letters after an option argument's first character. Returns
// false, after saying so, at the first letter that is not r or R.
bool read_option_letters(const char* argument)
{
    for (const char* letter = argument + 1; *letter != '\0'; ++letter) {
        if (*letter == 'r') {
            run_options.line_break_mode = LINE_BREAKS_TO_SPACE;
        } else if (*letter == 'R') {
            run_options.line_break_mode = LINE_BREAKS_REMOVE;
        } else {
            console_print(stdout, MSG_ILLEGAL_OPTION, letter);
            print_usage(stderr);
            return false;
        }
    }
    return true;
}

}  // namespace

void print_usage(std::FILE* stream)
{
    for (const char* line : {MSG_USAGE_1, MSG_USAGE_2, MSG_USAGE_3, MSG_USAGE_4})
        console_print(stream, "%s", line);
}

int parse_command_line(char** argv, int argc)
{
    find_settings_file(argv);

    int count = 1;
    int index = 1;
    while (index < argc && !begins_option(argv[index], count)) {
        ++count;
        ++index;
    }

    for (; index < argc; ++index) {
        const char* argument = argv[index];
        if (!begins_option(argument, count)) {
            console_print(stdout, MSG_EXTRA_ITEM_1, argument);
            console_print(stdout, "%s%s", MSG_EXTRA_ITEM_2, MSG_EXTRA_ITEM_3);
            return count;
        }
        if (equal_ignoring_case(argument, "-.ini")) {
            // The argument after "-.ini" is read as options whatever it
            // begins with.
            if (++index == argc)
                return count;
            argument = argv[index];
        }
        if (!read_option_letters(argument))
            return COMMAND_LINE_ILLEGAL_OPTION;
    }
    return count;
}
