// The settings-file lookup. The program defines no settings: the lookup
// only finds and reads its part of the file, and changes nothing.
#pragma once

#include <array>
#include <cstdio>
#include <string>

#include "platform/platform.h"

// Looks for the settings file unless "-.ini" is among the arguments, the
// program's path included. argv ends with a null pointer, as the process's
// own does.
void find_settings_file(char** argv);

// The steps of find_settings_file, open to tests.

enum class settings_kind {
    program,  // the program's own file: every line is its
    shared,  // shared by the maker's tools: only the program's section is
};

struct settings_candidate {
    std::string path;
    settings_kind kind;
};

// The places a settings file is looked for, in the order they are tried.
std::array<settings_candidate, 6> settings_candidates(const path_parts& program);

// Reads the program's part of an open settings file and returns how many of
// its lines would hold settings (comments and section headers excluded).
long read_settings(std::FILE* file, settings_kind kind, const std::string& base_name);
