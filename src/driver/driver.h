// Run control: the command line, the checks, the two passes and the exit
// status.
#pragma once

#include <cstdio>

#include "convert/convert.h"

// Runs one conversion as the command line asks and returns the process's
// exit status.
int convert_file(int argc, char** argv);

// What parse_command_line returns when an option letter is not r or R; the
// message and usage text have been printed by then.
inline constexpr int COMMAND_LINE_ILLEGAL_OPTION = -1;

// Looks for the settings file, then reads the options into run_options and
// returns how many positional arguments there are, the program's path
// included.
int parse_command_line(char** argv, int argc);

// The splitter's settings: the defaults, but for the most of a field held
// whole, which the environment's TROVANEX_FIELD_LIMIT may set lower, down
// to a byte, so that tests can send short fields the way of long ones.
split_settings splitter_settings();

// The vector unit both passes use: the widest this build and processor
// run, or the one TROVANEX_VECTOR names (kernels/unit_list.h), for tests
// and measurements; never one they lack. A
// name that is no unit this program runs here is warned about on standard
// error, and the widest used.
vector_unit chosen_vector_unit();

// Whether the environment's TROVANEX_SYNC asks for the durable mode: set,
// and none of "", "0", "no", "false" and "off" in any case. The output's bytes then reach stable storage
// before the run ends with status 0, and a staged output's before it takes
// its name.
bool durable_mode();

// The usage text: on standard error after a wrong command line, on
// standard output when asked for with --help.
void print_usage(std::FILE* stream);
