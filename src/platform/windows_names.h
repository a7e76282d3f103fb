// What the Windows platform files share: the system's names and errors.
#pragma once

#include <string>
#include <string_view>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// A UTF-8 name as the system's wide calls take it: as typed, or where the
// full path reaches MAX_PATH, in its \\?\ form, which has no such limit.
std::wstring system_name(const char* path);

// The full path of a name, as GetFullPathNameW gives it; empty if it cannot.
// Device names (NUL, CON, COM1), wherever they stand, come back as \\.\NAME.
std::wstring full_path(const std::wstring& name);

// The system's handle under a run-time descriptor.
HANDLE handle_of(int fd);

// A name from the system, as the program holds names.
std::string utf8_from_system(std::wstring_view name);

// The errno for a system error, as the C run-time would give it.
int errno_for(DWORD error);

// A run-time descriptor over the handle, with flags for _open_osfhandle.
// For INVALID_HANDLE_VALUE, -1 with errno set from the last error.
int descriptor_for(HANDLE file, int flags);
