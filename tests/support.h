// Small helpers shared by the unit and end-to-end tests.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "kernels/kernels.h"

// printf-style formatting into a string, for building expected messages
// from the program's own message constants.
std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The line a finished run ends its standard output with.
std::string summary(long long records);

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes);

// The whole content of an open stream, read from its start.
std::string read_stream(std::FILE* file);

// The descriptor under a stream, for the passes that work on descriptors.
int descriptor_of(std::FILE* file);

// A fresh anonymous file holding the given bytes, positioned at its start.
std::FILE* stream_with(std::string_view bytes);

// The unit's kernels in use while it lives, and the widest unit's after:
// tests loop over vector_units() with one of these for each.
struct unit_in_use {
    explicit unit_in_use(vector_unit unit) { use_vector_unit(unit); }
    ~unit_in_use() { use_vector_unit(best_vector_unit()); }
    unit_in_use(const unit_in_use&) = delete;
    unit_in_use& operator=(const unit_in_use&) = delete;
};

// Valid UTF-8 text as UTF-16 bytes of either order, without a mark.
std::string utf16_of(std::string_view utf8, bool big_endian);
