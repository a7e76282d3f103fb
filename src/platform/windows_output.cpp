// Staged outputs on Windows: a hidden file in the output's folder, deleted
// with its handle however the run ends, the task manager's kill included,
// so that nothing is left behind. Where the volume has hard links (NTFS),
// it is created so (FILE_FLAG_DELETE_ON_CLOSE), and once both passes have
// succeeded it is kept by a second hidden name, which is renamed over the
// output; the first name goes when the handle is closed. Elsewhere it is
// marked for deletion right after it is made, and unmarked and renamed
// over the output by its handle: a kill in the microseconds between making
// and marking it leaves it behind, empty.
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_names.h"

namespace {

// FileRenameInfoEx (Windows 10 1607 on), which mingw-w64's header keeps
// behind a version test it cannot pass.
constexpr auto RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Held by the main thread while the new file is between created and
// marked, or between unmarked and renamed. Ctrl-C and the like wait for it
// before the process ends, so that those moments are never cut short; the
// lock is then never let go.
SRWLOCK naming = SRWLOCK_INIT;

BOOL WINAPI wait_for_naming(DWORD)
{
    AcquireSRWLockExclusive(&naming);
    return FALSE;  // the next handler, the system's own, ends the process
}

struct naming_held {
    naming_held() { AcquireSRWLockExclusive(&naming); }
    ~naming_held() { ReleaseSRWLockExclusive(&naming); }
    naming_held(const naming_held&) = delete;
    naming_held& operator=(const naming_held&) = delete;
};

// Whether the folder's volume can give a file a second name: the system
// says so, or it is NTFS (which Wine reports for the folders it maps).
bool hard_links_in(const std::wstring& folder)
{
    const HANDLE handle
        = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD flags = 0;
    wchar_t file_system[MAX_PATH + 1] {};
    const bool known
        = GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, file_system, MAX_PATH + 1) != 0;
    CloseHandle(handle);
    return known && ((flags & FILE_SUPPORTS_HARD_LINKS) != 0 || std::wcscmp(file_system, L"NTFS") == 0);
}

bool mark_for_deletion(HANDLE file, bool deleted)
{
    FILE_DISPOSITION_INFO disposition {};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The attributes the new output takes: the old one's, or a new file's.
DWORD attributes_for(const char* path)
{
    const DWORD old = GetFileAttributesW(system_name(path).c_str());
    if (old == INVALID_FILE_ATTRIBUTES)
        return FILE_ATTRIBUTE_ARCHIVE;
    return old
        & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
}

// Why the output could not be written in place, as creating it would say,
// found out without creating or emptying it; 0 if it could be. For a new
// output, made is the errno of the failed attempt to make a file beside
// it, which is what its folder says.
int in_place_error(const char* path, int made)
{
    if (*path == '\0')
        return ENOENT;
    const std::wstring name = system_name(path);
    const std::wstring full = full_path(name);
    if (full.empty() || full.starts_with(L"\\\\.\\"))
        return 0;  // a device: opened when it is written to
    // Opened for writing as it stands, neither emptied nor made: a folder
    // or a read-only file is refused as creating it would be.
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return 0;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        return made;
    return errno_for(error);
}

// A new file beside the output, as stage_output gives it, or fd -1; made
// is set to the errno of a failed attempt to make one.
staged_output stage_beside(const char* path, int& made)
{
    staged_output staged;
    const std::size_t length = std::strlen(path);
    if (length == 0 || path[length - 1] == '\\' || path[length - 1] == '/')
        return staged;
    const std::wstring name = system_name(path);
    const std::wstring full = full_path(name);
    // Devices, which come back as \\.\NAME, are written in place.
    if (full.empty() || full.starts_with(L"\\\\.\\"))
        return staged;

    // Only a plain file of one name, which this user may write, is
    // replaced; anything else is written in place.
    const HANDLE old
        = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (old != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info {};
        const bool plain = GetFileType(old) == FILE_TYPE_DISK && GetFileInformationByHandle(old, &info)
            && (info.dwFileAttributes
                   & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY))
                == 0
            && info.nNumberOfLinks == 1;
        CloseHandle(old);
        if (!plain)
            return staged;
        staged.replaces = true;
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        return staged;
    }

    static const bool handler_set = SetConsoleCtrlHandler(wait_for_naming, TRUE) != 0;
    static_cast<void>(handler_set);
    const std::wstring folder = full.substr(0, full.find_last_of(L'\\') + 1);
    staged.deleted_on_close = hard_links_in(folder);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring hidden
            = folder + L".trovanex-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        const std::string hidden_utf8 = utf8_from_system(hidden);
        const naming_held held;
        const HANDLE file = CreateFileW(system_name(hidden_utf8.c_str()).c_str(), GENERIC_WRITE | DELETE,
            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY
                | (staged.deleted_on_close ? FILE_FLAG_DELETE_ON_CLOSE : 0),
            nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS)
                continue;
            made = errno_for(GetLastError());
            return staged;  // the folder cannot be written, for one
        }
        if (!staged.deleted_on_close && !mark_for_deletion(file, true)) {
            CloseHandle(file);
            DeleteFileW(system_name(hidden_utf8.c_str()).c_str());
            return staged;
        }
        staged.fd = descriptor_for(file, _O_WRONLY);
        if (staged.fd >= 0)
            staged.hidden_name = hidden_utf8;
        return staged;
    }
    return staged;
}

}  // namespace

staged_output stage_output(const char* path)
{
    int made = 0;
    staged_output staged = stage_beside(path, made);
    if (staged.fd < 0)
        staged.error = in_place_error(path, made);
    return staged;
}

namespace {

// Renames the file open as handle over target. As on POSIX, where the
// system allows it: programs that have the old output open go on reading
// it. Elsewhere (before Windows 10 1607, or on file systems without it) a
// plain replacing rename, which fails while any program has the old output
// open. On failure GetLastError says why.
bool rename_over(HANDLE handle, const std::wstring& target)
{
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
    const auto size = static_cast<DWORD>(buffer.size());
    rename->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    if (SetFileInformationByHandle(handle, RENAME_INFO_EX, rename, size))
        return true;
    const DWORD refused = GetLastError();
    if (refused != ERROR_INVALID_PARAMETER && refused != ERROR_NOT_SUPPORTED && refused != ERROR_INVALID_FUNCTION)
        return false;
    rename->Flags = 0;
    rename->ReplaceIfExists = TRUE;
    return SetFileInformationByHandle(handle, FileRenameInfo, rename, size) != 0;
}

// The file, deleted with its handle, kept by a second hidden name that is
// then renamed over target; on failure nothing of it is left but the
// first name, and GetLastError says why.
bool place_by_second_name(const staged_output& output, const std::wstring& target)
{
    const std::wstring first = system_name(output.hidden_name.c_str());
    const std::wstring second = system_name((output.hidden_name + "-kept").c_str());
    if (!CreateHardLinkW(second.c_str(), first.c_str(), nullptr))
        return false;
    const HANDLE kept = CreateFileW(second.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (kept == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        DeleteFileW(second.c_str());
        SetLastError(error);
        return false;
    }
    const bool placed = rename_over(kept, target);
    const DWORD error = GetLastError();
    if (!placed)
        mark_for_deletion(kept, true);
    CloseHandle(kept);
    SetLastError(error);
    return placed;
}

}  // namespace

bool commit_output(staged_output& output, const char* path)
{
    // The data reach the disk before the file takes the output's name.
    if (output.durable && !flush_file(output.fd)) {
        const int error = errno;
        discard_output(output);
        errno = error;
        return false;
    }
    const int fd = output.fd;
    output.fd = -1;
    const HANDLE file = handle_of(fd);
    FILE_BASIC_INFO basic {};
    basic.FileAttributes = attributes_for(path);
    const std::wstring target = full_path(system_name(path));

    bool placed = false;
    DWORD error = ERROR_SUCCESS;
    {
        const naming_held held;
        if (target.empty() || !SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) {
            error = GetLastError();
        } else if (output.deleted_on_close) {
            placed = place_by_second_name(output, target);
            error = GetLastError();
        } else if (mark_for_deletion(file, false)) {
            placed = rename_over(file, target);
            error = GetLastError();
            if (!placed && !mark_for_deletion(file, true)) {
                // Held open by another program, say: the old output stays.
                _close(fd);
                DeleteFileW(system_name(output.hidden_name.c_str()).c_str());
                errno = errno_for(error);
                return false;
            }
        } else {
            error = GetLastError();
        }
    }
    // The rename is a change to the file's own record, which NTFS logs:
    // flushing the file again commits that log as far as the new name.
    if (placed && output.durable && !FlushFileBuffers(file)) {
        error = GetLastError();
        placed = false;
    }
    // Once in place the file is complete: a failed close says nothing of it.
    // A file deleted with its handle loses its first name here.
    _close(fd);
    if (!placed)
        errno = errno_for(error);
    return placed;
}

void discard_output(staged_output& output)
{
    if (output.fd < 0)
        return;
    _close(output.fd);  // deleted with its handle, or marked for deletion: the file goes with it
    output.fd = -1;
}
