#include "probe/capture_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "probe/paths.h"

namespace {

constexpr const char* PROGRAM_NAME = "scanfw-probe";
// GetTempFileNameA names its file from the first three characters: sfwXXXX.tmp.
constexpr const char* TEMPORARY_PREFIX = "sfw";
constexpr UINT NEW_UNIQUE_NAME = 0;
constexpr const char* DOUBLE_CLICKED_FORMAT = "scanfw-capture-%04u%02u%02u-%02u%02u%02u";
constexpr const char* CAPTURE_EXTENSION = ".json";
constexpr int FIRST_SUFFIX = 2;
constexpr int LAST_SUFFIX = 99;
// On the disk, not in a cache, once the call returns: a capture is whole when the probe says so.
constexpr DWORD REPLACING_MOVE = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
constexpr DWORD NEW_NAME_MOVE = MOVEFILE_WRITE_THROUGH;
// An existing target is opened only to ask what it is: no right to read or write it is needed,
// and nobody else's use of it is disturbed.
constexpr DWORD QUERY_ONLY = 0;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD SHARE_NONE = 0;

ProbeExit Refuse(const std::string& shown, const char* why) {
    std::fprintf(stderr, "%s: --out %s %s\n", PROGRAM_NAME, shown.c_str(), why);
    return ProbeExit::BadCommandLine;
}

ProbeExit Fail(const std::string& shown, const char* call, DWORD error, const char* leftBehind = nullptr) {
    std::fprintf(stderr, "%s: cannot write %s (%s, error %lu)%s%s\n", PROGRAM_NAME, shown.c_str(), call,
                 static_cast<unsigned long>(error),
                 leftBehind == nullptr ? "" : "; left behind: ", leftBehind == nullptr ? "" : leftBehind);
    return ProbeExit::NotWritten;
}

// The target's full path and its folder; false, with the failed call's error, when Windows cannot make them.
bool Locate(const std::string& path, CaptureTarget& target, bool& namesFolder, DWORD& error) {
    size_t nameAt = std::string::npos;
    if (!FullPath(path, target.path, nameAt, error))
        return false;
    namesFolder = nameAt == std::string::npos;
    target.folder = namesFolder ? target.path : target.path.substr(0, nameAt);
    return true;
}

// Opens an ANSI path with CreateFileW; the failed call's name when it cannot.
HANDLE OpenPath(const std::string& path, DWORD access, DWORD share, DWORD disposition, const char*& failed) {
    // One UTF-16 unit at most for each byte of the ANSI text, and one for the terminator.
    std::vector<WCHAR> wide(path.size() + 1);
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(),
                            static_cast<int>(wide.size())) == 0) {
        failed = "MultiByteToWideChar";
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = CreateFileW(wide.data(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    failed = file == INVALID_HANDLE_VALUE ? "CreateFileW" : nullptr;
    return file;
}

// Only a file on a disk is replaced: a pipe or a device that the name did not show is refused.
ProbeExit CheckExisting(const CaptureTarget& target) {
    const char* failed = nullptr;
    HANDLE existing = OpenPath(target.path, QUERY_ONLY, SHARE_ALL, OPEN_EXISTING, failed);
    if (existing == INVALID_HANDLE_VALUE)
        return Fail(target.shown, failed, GetLastError());
    const DWORD type = GetFileType(existing);
    CloseHandle(existing);
    return type == FILE_TYPE_DISK ? ProbeExit::Written : Refuse(target.shown, "is not a file on a disk");
}

// Writes the whole text to the temporary file and flushes it to the disk. The failed call's name
// (its error in GetLastError), or null.
const char* WriteTemporary(const char* path, const std::string& text) {
    const char* failed = nullptr;
    HANDLE file = OpenPath(path, GENERIC_WRITE, SHARE_NONE, TRUNCATE_EXISTING, failed);
    if (file == INVALID_HANDLE_VALUE)
        return failed;
    for (size_t done = 0; failed == nullptr && done < text.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, std::numeric_limits<DWORD>::max()));
        DWORD written = 0;
        // A write that moves nothing would never end the loop: it is a failure like any other.
        if (!WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0)
            failed = "WriteFile";
        done += written;
    }
    if (failed == nullptr && !FlushFileBuffers(file))
        failed = "FlushFileBuffers";
    const DWORD error = GetLastError();
    if (!CloseHandle(file) && failed == nullptr)
        return "CloseHandle";
    SetLastError(error);
    return failed;
}

// Moves the temporary file to the target, or, when it must not replace anything, to the first
// free name of the target's and its numbered variants. The name it took, or "" (the error in
// GetLastError).
std::string MoveIntoPlace(const char* temporary, const CaptureTarget& target) {
    if (target.replace)
        return MoveFileExA(temporary, target.path.c_str(), REPLACING_MOVE) ? target.shown : "";
    const size_t extensionLength = std::strlen(CAPTURE_EXTENSION);
    const std::string pathStem = target.path.substr(0, target.path.size() - extensionLength);
    const std::string shownStem = target.shown.substr(0, target.shown.size() - extensionLength);
    for (int suffix = FIRST_SUFFIX - 1; suffix <= LAST_SUFFIX; ++suffix) {
        char ending[32];
        if (suffix < FIRST_SUFFIX)
            std::snprintf(ending, sizeof ending, "%s", CAPTURE_EXTENSION);
        else
            std::snprintf(ending, sizeof ending, "-%d%s", suffix, CAPTURE_EXTENSION);
        if (MoveFileExA(temporary, (pathStem + ending).c_str(), NEW_NAME_MOVE))
            return shownStem + ending;
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            return "";
    }
    return "";
}

}  // namespace

ProbeExit CheckOutTarget(const std::string& given, CaptureTarget& target) {
    target = CaptureTarget{};
    target.shown = given;
    if (NamesDevice(given))
        return Refuse(given, "names a device, not a file");
    DWORD error = ERROR_SUCCESS;
    bool namesFolder = false;
    if (!Locate(given, target, namesFolder, error))
        return Fail(given, "GetFullPathNameA", error);
    // Made full, a path can show a device that its given form hid.
    if (NamesDevice(target.path))
        return Refuse(given, "names a device, not a file");
    if (namesFolder)
        return Refuse(given, "is a folder, not a file");
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExA(target.path.c_str(), GetFileExInfoStandard, &data)) {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return Refuse(given, "is a folder, not a file");
        target.existed = true;
        return ProbeExit::Written;
    }
    // Nothing of that name yet: the capture makes it. No such folder, or no right to look, and
    // it cannot be written: said before anything is captured.
    error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? ProbeExit::Written : Fail(given, "GetFileAttributesExA", error);
}

ProbeExit DoubleClickTarget(const SYSTEMTIME& now, CaptureTarget& target) {
    char name[64];
    std::snprintf(name, sizeof name, DOUBLE_CLICKED_FORMAT, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                  now.wSecond);
    target = CaptureTarget{};
    target.shown = std::string(name) + CAPTURE_EXTENSION;
    target.replace = false;
    DWORD error = ERROR_SUCCESS;
    bool namesFolder = false;
    if (!Locate(target.shown, target, namesFolder, error))
        return Fail(target.shown, "GetFullPathNameA", error);
    return ProbeExit::Written;
}

ProbeExit WriteCaptureFile(const std::string& text, const CaptureTarget& target, size_t notes) {
    if (target.existed) {
        const ProbeExit checked = CheckExisting(target);
        if (checked != ProbeExit::Written)
            return checked;
    }
    char temporary[MAX_PATH];
    if (GetTempFileNameA(target.folder.c_str(), TEMPORARY_PREFIX, NEW_UNIQUE_NAME, temporary) == 0)
        return Fail(target.shown, "GetTempFileNameA", GetLastError());
    const char* failed = WriteTemporary(temporary, text);
    std::string written;
    if (failed == nullptr && (written = MoveIntoPlace(temporary, target)).empty())
        failed = "MoveFileExA";
    if (failed != nullptr) {
        const DWORD error = GetLastError();
        return Fail(target.shown, failed, error, DeleteFileA(temporary) ? nullptr : temporary);
    }
    std::fprintf(stderr, "%s: wrote %s (%zu bytes, %zu failed steps noted)\n", PROGRAM_NAME, written.c_str(),
                 text.size(), notes);
    return ProbeExit::Written;
}
