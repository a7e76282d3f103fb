// The few services that differ between operating systems. Everything the
// program needs from the platform goes through this header, so a Windows
// build can map it onto that system's own run-time functions.
#pragma once

#include <cstdio>
#include <string>

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
// It never outlives the process, however that ends. Returns nullptr with
// errno set on failure.
std::FILE* create_scratch_file();

// Whether the stream is an interactive terminal.
bool is_terminal(std::FILE* stream);

// Case-insensitive comparison of two zero-terminated strings: true if equal.
bool equal_ignoring_case(const char* a, const char* b);

// Upper-cases a zero-terminated string in place.
void upper_case(char* text);

// A path in its four parts. drive is empty where paths have no drives; dir
// keeps its trailing separator and ext its leading dot, so joining the four
// gives the path back.
struct path_parts {
    std::string drive;
    std::string dir;
    std::string base;
    std::string ext;
};

// The full path of the running program; empty if it cannot be found.
std::string program_path();

path_parts split_path(const std::string& path);

// Joins the parts, adding a separator after dir and a dot before ext where
// they lack one.
std::string join_path(
    const std::string& drive, const std::string& dir, const std::string& base, const std::string& ext);

// Whether a file of that name exists. A name too long for the platform does
// not.
bool file_exists(const std::string& path);
