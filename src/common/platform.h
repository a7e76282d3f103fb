// The few services that differ between operating systems. Everything the
// program needs from the platform goes through this header, so a Windows
// build can map it onto that system's own run-time functions.
#pragma once

#include <cstdio>

// On POSIX every absolute path begins with '/', so a '/' only introduces an
// option once both paths have been given. On Windows '/' always does.
#ifdef _WIN32
inline constexpr bool SLASH_MAY_BEGIN_PATH = false;
#else
inline constexpr bool SLASH_MAY_BEGIN_PATH = true;
#endif

// Opens a file for binary reading. A directory is refused with errno set to
// EISDIR, since reading one can only fail later with a vaguer message.
// Returns nullptr with errno set on failure.
std::FILE* open_input_file(const char* path);

// Creates the intermediate file in the current directory, open for binary
// reading and writing, under a name no existing file or other run holds.
// Its name is gone from the directory before this returns, so it never
// outlives the process, however that ends. Returns nullptr with errno set
// on failure.
std::FILE* create_scratch_file();

// Case-insensitive comparison of two zero-terminated strings: true if equal.
bool equal_ignoring_case(const char* a, const char* b);

// Whether the stream is an interactive terminal.
bool is_terminal(std::FILE* stream);
