// Staged outputs on Windows: a hidden file in the output's folder, marked
// for deletion while it is written, so that a run ended at any moment, the
// task manager's kill included, leaves nothing behind. Once both passes
// have succeeded it is unmarked and renamed over the output by its handle.
// Unlike FILE_FLAG_DELETE_ON_CLOSE, the deletion mark can be taken back.
#include <cerrno>
#include <cstring>
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

}  // namespace

staged_output stage_output(const char* path)
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
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring hidden
            = folder + L".trovanex-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        const std::string hidden_utf8 = utf8_from_system(hidden);
        const naming_held held;
        const HANDLE file = CreateFileW(system_name(hidden_utf8.c_str()).c_str(), GENERIC_WRITE | DELETE,
            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY,
            nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS)
                continue;
            return staged;  // the folder cannot be written, for one
        }
        if (!mark_for_deletion(file, true)) {
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

bool commit_output(staged_output& output, const char* path)
{
    const int fd = output.fd;
    output.fd = -1;
    const HANDLE file = handle_of(fd);
    FILE_BASIC_INFO basic {};
    basic.FileAttributes = attributes_for(path);
    const std::wstring target = full_path(system_name(path));
    std::vector<unsigned char> rename_buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(rename_buffer.data());
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));

    bool placed = false;
    DWORD error = ERROR_SUCCESS;
    {
        const naming_held held;
        if (!target.empty() && SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)
            && mark_for_deletion(file, false)) {
            // As on POSIX, where the system allows it: programs that have the
            // old output open go on reading it. Elsewhere (before Windows 10
            // 1607, or on file systems without it) a plain replacing rename,
            // which fails while any program has the old output open.
            rename->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
            const auto size = static_cast<DWORD>(rename_buffer.size());
            placed = SetFileInformationByHandle(file, RENAME_INFO_EX, rename, size);
            const DWORD refused = placed ? ERROR_SUCCESS : GetLastError();
            if (refused == ERROR_INVALID_PARAMETER || refused == ERROR_NOT_SUPPORTED
                || refused == ERROR_INVALID_FUNCTION) {
                rename->Flags = 0;
                rename->ReplaceIfExists = TRUE;
                placed = SetFileInformationByHandle(file, FileRenameInfo, rename, size);
            }
            if (!placed) {
                // Held open by another program, say: the old output stays.
                error = GetLastError();
                if (!mark_for_deletion(file, true)) {
                    _close(fd);
                    DeleteFileW(system_name(output.hidden_name.c_str()).c_str());
                    errno = errno_for(error);
                    return false;
                }
            }
        } else {
            error = GetLastError();
        }
    }
    // Once in place the file is complete: a failed close says nothing of it.
    _close(fd);
    if (!placed)
        errno = errno_for(error);
    return placed;
}

void discard_output(staged_output& output)
{
    if (output.fd < 0)
        return;
    _close(output.fd);  // marked for deletion: the file goes with its handle
    output.fd = -1;
}
