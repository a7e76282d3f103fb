#include "platform/windows_names.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>

#include "unicode/unicode.h"

std::wstring system_name(const char* path)
{
    const std::u16string wide = wide_from_utf8(path);
    std::wstring name(wide.begin(), wide.end());
    if (name.starts_with(L"\\\\?\\") || name.starts_with(L"\\\\.\\"))
        return name;
    // A relative name counts with the folder it is in.
    const std::wstring full = full_path(name);
    if (full.size() + 1 < MAX_PATH - 12)  // the shorter limit, for folders, its terminator included
        return name;
    if (full.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring full_path(const std::wstring& name)
{
    const DWORD room = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    std::wstring full(room, L'\0');
    const DWORD length = room == 0 ? 0 : GetFullPathNameW(name.c_str(), room, full.data(), nullptr);
    full.resize(length < room ? length : 0);
    return full;
}

HANDLE handle_of(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

std::string utf8_from_system(std::wstring_view name)
{
    return utf8_from_wide(std::u16string(name.begin(), name.end()));
}

int errno_for(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NO_MORE_FILES:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_FAIL_I24:
    case ERROR_DRIVE_LOCKED:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_NOT_LOCKED:
    case ERROR_LOCK_FAILED:
        return EACCES;
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_TARGET_HANDLE:
    case ERROR_DIRECT_ACCESS_HANDLE:
        return EBADF;
    case ERROR_ARENA_TRASHED:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_INVALID_BLOCK:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:  // a pipe's reader gone, as Windows says it
    case ERROR_PIPE_NOT_CONNECTED:  // ...and as Wine does
        return EPIPE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    default:
        // Write-protected media, sharing and lock violations.
        if (error >= ERROR_WRITE_PROTECT && error <= ERROR_SHARING_BUFFER_EXCEEDED)
            return EACCES;
        return EINVAL;
    }
}

int descriptor_for(HANDLE file, int flags)
{
    if (file == INVALID_HANDLE_VALUE) {
        errno = errno_for(GetLastError());
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
    if (fd < 0) {
        CloseHandle(file);
        errno = EMFILE;
    }
    return fd;
}
