// Simulated files on disk: what the probe looks at before it writes its capture, and the writing;
// the deploy's deleting of old records. A pipe's name goes to the pipes (sim/pipe.cpp).
// They act on the host's own file system, so the host tests write captures to real temporary
// folders. A path is the host's path as given: Windows' path rules apply to it (both '\' and '/'
// separate its parts, "." and ".." go, a relative path is joined to the current folder, the last
// part loses trailing dots and spaces), but only '/' separates folders on the host's disk, so a
// Windows path such as C:\Users\x names nothing there. The updater's executable is the one file
// that the simulated disk holds apart from the host's (sim/exe_file.h).
//
// Not modelled: sharing modes, Windows' device names and namespaces (the probe refuses them before
// it makes any call), overlapped transfers on files, and code pages: the ANSI code page gives
// each byte the character of its value, and a UTF-16 name gives each character below 256 back
// as that byte.
#include "sim/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "sim/exe_file.h"
#include "sim/pipes.h"

using sim::HandleKind;
using sim::HandleObject;
using sim::Ptr;

namespace {

constexpr char HOST_SEPARATOR = '/';
constexpr char WINDOWS_SEPARATOR = '\\';
constexpr int DRIVE_PREFIX_LENGTH = 2;  // "C:"
constexpr size_t TEMP_PREFIX_CHARS = 3;
constexpr size_t TEMP_FOLDER_MAX = MAX_PATH - 14;
constexpr UINT UNIQUE_SPAN = 0x10000;
constexpr const char* TEMP_SUFFIX = ".tmp";
constexpr DWORD ERROR_NOACCESS_CODE = 998;
constexpr mode_t NEW_FILE_MODE = 0666;
constexpr uint64_t FILETIME_UNITS_PER_SECOND = 10000000ull;
constexpr uint64_t FILETIME_UNIX_EPOCH_SECONDS = 11644473600ull;  // 1601-01-01 to 1970-01-01
constexpr uint64_t DWORD_SPAN = 0x100000000ull;
constexpr wchar_t FIRST_WIDE_WITHOUT_BYTE = 0x100;
constexpr DWORD MOVE_FLAGS = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Every descriptor a file handle holds, so that what one run leaves open is closed before the next.
std::set<int>& OpenDescriptors() {
    static std::set<int> descriptors;
    return descriptors;
}

bool IsSeparator(char c) {
    return c == HOST_SEPARATOR || c == WINDOWS_SEPARATOR;
}

bool IsDrivePath(const std::string& path) {
    return path.size() >= DRIVE_PREFIX_LENGTH && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

std::string Parent(const std::string& path) {
    const size_t end = path.find_last_of(HOST_SEPARATOR);
    if (end == std::string::npos)
        return ".";
    return end == 0 ? "/" : path.substr(0, end);
}

bool IsFolder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The Windows error for a failed host call on `path`.
DWORD ErrorOf(int error, const std::string& path) {
    switch (error) {
        case ENOENT:
            return IsFolder(Parent(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

template <typename Args, typename Value>
Value RefuseWith(const char* call, const Args& args, DWORD error, Value failure, const char* shown) {
    SetLastError(error);
    sim::TraceCall(call, args, [&] { return std::string(shown) + ", error " + std::to_string(error); });
    return failure;
}

// Windows' full path of `name`: absolute as given (from '/', a drive or "\\"), or joined to the
// current folder; "." and ".." resolved; trailing dots and spaces taken from the last part. Parts
// are joined by '\' on a drive or share, by '/' on the host's own tree.
std::string FullPathOf(const std::string& name) {
    std::string root;
    std::string rest = name;
    char separator = HOST_SEPARATOR;
    if (IsDrivePath(name)) {
        root = name.substr(0, DRIVE_PREFIX_LENGTH) + WINDOWS_SEPARATOR;
        rest = name.substr(DRIVE_PREFIX_LENGTH);
        separator = WINDOWS_SEPARATOR;
    } else if (name.size() >= 2 && IsSeparator(name[0]) && IsSeparator(name[1])) {
        root = std::string(2, WINDOWS_SEPARATOR);
        rest = name.substr(2);
        separator = WINDOWS_SEPARATOR;
    } else if (!name.empty() && IsSeparator(name[0])) {
        root = "/";
    } else {
        std::vector<char> folder(PATH_MAX);
        root = "/";
        if (getcwd(folder.data(), folder.size()) != nullptr)
            rest = std::string(folder.data()) + HOST_SEPARATOR + name;
    }
    std::vector<std::string> parts;
    std::string part;
    auto endPart = [&] {
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (char c : rest) {
        if (IsSeparator(c))
            endPart();
        else
            part += c;
    }
    const bool endsInSeparator = !name.empty() && IsSeparator(name.back());
    while (!part.empty() && (part.back() == '.' || part.back() == ' ') && part != "." && part != "..") part.pop_back();
    endPart();
    std::string full = root;
    for (size_t i = 0; i < parts.size(); ++i) full += (i == 0 ? "" : std::string(1, separator)) + parts[i];
    if (endsInSeparator && !parts.empty())
        full += separator;
    return full;
}

void SetFileTime(FILETIME& time, const struct timespec& at) {
    const uint64_t units =
        (static_cast<uint64_t>(at.tv_sec) + FILETIME_UNIX_EPOCH_SECONDS) * FILETIME_UNITS_PER_SECOND +
        static_cast<uint64_t>(at.tv_nsec) / 100;
    time.dwLowDateTime = static_cast<DWORD>(units % DWORD_SPAN);
    time.dwHighDateTime = static_cast<DWORD>(units / DWORD_SPAN);
}

// The host's name for a UTF-16 name; false when a character has no byte of its own.
bool HostName(LPCWSTR wide, std::string& name) {
    name.clear();
    for (const WCHAR* c = wide; *c != 0; ++c) {
        if (static_cast<uint32_t>(*c) >= static_cast<uint32_t>(FIRST_WIDE_WITHOUT_BYTE))
            return false;
        name += static_cast<char>(*c);
    }
    return true;
}

// The open flags for a CreateFileW disposition, or -1 for none that Windows has.
int DispositionFlags(DWORD disposition) {
    switch (disposition) {
        case CREATE_NEW:
            return O_CREAT | O_EXCL;
        case CREATE_ALWAYS:
            return O_CREAT | O_TRUNC;
        case OPEN_EXISTING:
            return 0;
        case OPEN_ALWAYS:
            return O_CREAT;
        case TRUNCATE_EXISTING:
            return O_TRUNC;
        default:
            return -1;
    }
}

int AccessFlags(DWORD access) {
    const bool read = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    const bool write = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    return write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
}

bool Writable(const HandleObject& file) {
    return (file.access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
}

}  // namespace

namespace sim {

void CloseLeftoverFiles() {
    for (int descriptor : OpenDescriptors()) close(descriptor);
    OpenDescriptors().clear();
}

void CloseOnDisk(const HandleObject& file) {
    close(file.ref);
    OpenDescriptors().erase(file.ref);
}

BOOL TransferOnDisk(const char* call, bool write, const HandleObject& file, void* buffer, DWORD length, LPDWORD count,
                    LPOVERLAPPED overlapped, const std::string& args) {
    if (count == nullptr || overlapped != nullptr)
        return RefuseWith(call, args, ERROR_INVALID_PARAMETER, FALSE, "FALSE");
    if (buffer == nullptr && length > 0)
        return RefuseWith(call, args, ERROR_NOACCESS_CODE, FALSE, "FALSE");
    const bool allowed = write ? Writable(file) : (file.access & (GENERIC_READ | GENERIC_ALL)) != 0;
    if (!allowed)
        return RefuseWith(call, args, ERROR_ACCESS_DENIED, FALSE, "FALSE");
    DWORD done = 0;
    while (done < length) {
        char* at = static_cast<char*>(buffer) + done;
        const ssize_t moved = write ? ::write(file.ref, at, length - done) : ::read(file.ref, at, length - done);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0) {
            *count = done;
            return RefuseWith(call, args, ErrorOf(errno, ""), FALSE, "FALSE");
        }
        if (moved == 0)
            break;  // the end of the file, on a read
        done += static_cast<DWORD>(moved);
    }
    *count = done;
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall(call, args, [&] { return "TRUE, count " + std::to_string(done); });
    return TRUE;
}

}  // namespace sim

DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
    auto args = [&] { return sim::Quote(lpFileName) + ", " + std::to_string(nBufferLength); };
    if (sim::Enter("GetFullPathNameA", ERROR_FILENAME_EXCED_RANGE)) {
        sim::TraceCall("GetFullPathNameA", args, "0 (injected)");
        return 0;
    }
    if (lpFileName == nullptr || (lpBuffer == nullptr && nBufferLength > 0))
        return RefuseWith("GetFullPathNameA", args, ERROR_INVALID_PARAMETER, DWORD{0}, "0");
    if (*lpFileName == '\0')
        return RefuseWith("GetFullPathNameA", args, ERROR_INVALID_NAME, DWORD{0}, "0");
    const std::string full = FullPathOf(lpFileName);
    // Too small a buffer: the size that is needed, terminator included, and nothing written.
    if (nBufferLength < full.size() + 1) {
        SetLastError(ERROR_SUCCESS);
        sim::TraceCall("GetFullPathNameA", args, [&] { return std::to_string(full.size() + 1) + " (needed)"; });
        return static_cast<DWORD>(full.size() + 1);
    }
    std::memcpy(lpBuffer, full.c_str(), full.size() + 1);
    if (lpFilePart != nullptr) {
        const size_t last = full.find_last_of("\\/");
        const bool named = last != std::string::npos && last + 1 < full.size();
        *lpFilePart = named ? lpBuffer + last + 1 : nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("GetFullPathNameA", args, [&] { return sim::Quote(full.c_str()); });
    return static_cast<DWORD>(full.size());
}

BOOL WINAPI GetFileAttributesExA(LPCSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId, LPVOID lpFileInformation) {
    auto args = [&] { return sim::Quote(lpFileName); };
    if (sim::Enter("GetFileAttributesExA", ERROR_FILE_NOT_FOUND)) {
        sim::TraceCall("GetFileAttributesExA", args, "FALSE (injected)");
        return FALSE;
    }
    if (lpFileName == nullptr || lpFileInformation == nullptr || fInfoLevelId != GetFileExInfoStandard)
        return RefuseWith("GetFileAttributesExA", args, ERROR_INVALID_PARAMETER, FALSE, "FALSE");
    auto& data = *static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(lpFileInformation);
    if (sim::NamesUpdaterExe(lpFileName)) {
        sim::UpdaterExeAttributes(data);
    } else {
        struct stat info;
        if (stat(lpFileName, &info) != 0)
            return RefuseWith("GetFileAttributesExA", args, ErrorOf(errno, lpFileName), FALSE, "FALSE");
        data = WIN32_FILE_ATTRIBUTE_DATA{};
        data.dwFileAttributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if ((info.st_mode & S_IWUSR) == 0)
            data.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
        if (!S_ISDIR(info.st_mode)) {
            data.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(info.st_size) / DWORD_SPAN);
            data.nFileSizeLow = static_cast<DWORD>(static_cast<uint64_t>(info.st_size) % DWORD_SPAN);
        }
        SetFileTime(data.ftCreationTime, info.st_ctim);
        SetFileTime(data.ftLastAccessTime, info.st_atim);
        SetFileTime(data.ftLastWriteTime, info.st_mtim);
    }
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("GetFileAttributesExA", args, [&] { return "TRUE, " + sim::Hex(data.dwFileAttributes); });
    return TRUE;
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    std::string name;
    const bool named = lpFileName != nullptr && HostName(lpFileName, name);
    auto args = [&] {
        return (named ? sim::Quote(name.c_str()) : std::string("<a name the host cannot hold>")) + ", " +
               sim::Hex(dwDesiredAccess) + ", " + sim::Hex(dwShareMode) + ", " + std::to_string(dwCreationDisposition) +
               ", " + sim::Hex(dwFlagsAndAttributes);
    };
    if (sim::Enter("CreateFileW", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("CreateFileW", args, "INVALID_HANDLE_VALUE (injected)");
        return INVALID_HANDLE_VALUE;
    }
    if (sim::NamesPipe(lpFileName))
        return sim::OpenPipeClient(lpFileName, dwDesiredAccess, lpSecurityAttributes, dwCreationDisposition, args);
    const int disposition = DispositionFlags(dwCreationDisposition);
    const bool truncates = dwCreationDisposition == TRUNCATE_EXISTING;
    if (lpFileName == nullptr || disposition < 0 || lpSecurityAttributes != nullptr || hTemplateFile != nullptr ||
        (truncates && AccessFlags(dwDesiredAccess) == O_RDONLY))
        return RefuseWith("CreateFileW", args, ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
    if (!named || name.empty())
        return RefuseWith("CreateFileW", args, named ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME, INVALID_HANDLE_VALUE,
                          "INVALID_HANDLE_VALUE");
    struct stat before;
    const bool existed = stat(name.c_str(), &before) == 0;
    // A folder opens only for its attributes' sake, with backup semantics.
    const bool folder = existed && S_ISDIR(before.st_mode);
    if (folder && (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0)
        return RefuseWith("CreateFileW", args, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
    // Never blocking, as no Windows open of a file waits for a reader or writer to come.
    const int flags = (folder ? O_RDONLY : AccessFlags(dwDesiredAccess)) | disposition | O_NONBLOCK | O_CLOEXEC;
    const int descriptor = open(name.c_str(), flags, NEW_FILE_MODE);
    if (descriptor < 0)
        return RefuseWith("CreateFileW", args, ErrorOf(errno, name), INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
    OpenDescriptors().insert(descriptor);
    HANDLE file = sim::NewHandle(HandleKind::File, descriptor, dwDesiredAccess);
    // Opening what was there already under a disposition that may create says so.
    const bool mayCreate = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
    SetLastError(mayCreate && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    sim::TraceCall("CreateFileW", args, [&] { return Ptr(file); });
    return file;
}

DWORD WINAPI GetFileType(HANDLE hFile) {
    auto args = [&] { return Ptr(hFile); };
    if (sim::Enter("GetFileType", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("GetFileType", args, "FILE_TYPE_UNKNOWN (injected)");
        return FILE_TYPE_UNKNOWN;
    }
    const HandleObject* obj = sim::FindHandle(hFile);
    DWORD type = FILE_TYPE_UNKNOWN;
    struct stat info;
    if (obj != nullptr && obj->kind == HandleKind::Console)
        type = sim::M().scenario.console.redirected ? FILE_TYPE_PIPE : FILE_TYPE_CHAR;
    else if (obj == nullptr || obj->kind != HandleKind::File || fstat(obj->ref, &info) != 0)
        return RefuseWith("GetFileType", args, ERROR_INVALID_HANDLE, DWORD{FILE_TYPE_UNKNOWN}, "FILE_TYPE_UNKNOWN");
    else if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))
        type = FILE_TYPE_DISK;
    else if (S_ISCHR(info.st_mode))
        type = FILE_TYPE_CHAR;
    else if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))
        type = FILE_TYPE_PIPE;
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("GetFileType", args, [&] { return std::to_string(type); });
    return type;
}

// With uUnique 0: a new empty file named from the prefix and a number not yet taken in the folder.
UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique, LPSTR lpTempFileName) {
    auto args = [&] { return sim::Quote(lpPathName) + ", " + sim::Quote(lpPrefixString) + ", " + sim::Hex(uUnique); };
    if (sim::Enter("GetTempFileNameA", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("GetTempFileNameA", args, "0 (injected)");
        return 0;
    }
    if (lpPathName == nullptr || lpTempFileName == nullptr)
        return RefuseWith("GetTempFileNameA", args, ERROR_INVALID_PARAMETER, UINT{0}, "0");
    const std::string folder = lpPathName;
    if (folder.size() > TEMP_FOLDER_MAX)
        return RefuseWith("GetTempFileNameA", args, ERROR_BUFFER_OVERFLOW, UINT{0}, "0");
    if (!IsFolder(folder))
        return RefuseWith("GetTempFileNameA", args, ERROR_DIRECTORY, UINT{0}, "0");
    const char separator = folder.find(HOST_SEPARATOR) != std::string::npos ? HOST_SEPARATOR : WINDOWS_SEPARATOR;
    std::string stem = folder.empty() || IsSeparator(folder.back()) ? folder : folder + separator;
    stem += std::string(lpPrefixString == nullptr ? "" : lpPrefixString).substr(0, TEMP_PREFIX_CHARS);
    auto nameOf = [&](UINT number) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%x", number);
        return stem + digits + TEMP_SUFFIX;
    };
    UINT number = uUnique;
    if (uUnique == 0) {
        // As Windows does: numbers from the clock's, each tried until one names no file yet.
        number = static_cast<UINT>(sim::M().clock.Ticks() % UNIQUE_SPAN);
        bool made = false;
        for (UINT tries = 0; tries < UNIQUE_SPAN && !made; ++tries) {
            number = number % (UNIQUE_SPAN - 1) + 1;
            const std::string name = nameOf(number);
            const int descriptor = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, NEW_FILE_MODE);
            if (descriptor >= 0) {
                close(descriptor);
                made = true;
            } else if (errno != EEXIST) {
                return RefuseWith("GetTempFileNameA", args, ErrorOf(errno, name), UINT{0}, "0");
            }
        }
        if (!made)
            return RefuseWith("GetTempFileNameA", args, ERROR_FILE_EXISTS, UINT{0}, "0");
    }
    const std::string name = nameOf(number);
    std::snprintf(lpTempFileName, MAX_PATH, "%s", name.c_str());
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("GetTempFileNameA", args, [&] { return std::to_string(number) + ", " + sim::Quote(name.c_str()); });
    return number;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    auto args = [&] { return Ptr(hFile); };
    if (sim::Enter("FlushFileBuffers", ERROR_DISK_FULL)) {
        sim::TraceCall("FlushFileBuffers", args, "FALSE (injected)");
        return FALSE;
    }
    const HandleObject* file = sim::FindHandle(hFile, HandleKind::File);
    if (file == nullptr)
        return RefuseWith("FlushFileBuffers", args, ERROR_INVALID_HANDLE, FALSE, "FALSE");
    if (!Writable(*file))
        return RefuseWith("FlushFileBuffers", args, ERROR_ACCESS_DENIED, FALSE, "FALSE");
    if (fsync(file->ref) != 0)
        return RefuseWith("FlushFileBuffers", args, ErrorOf(errno, ""), FALSE, "FALSE");
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("FlushFileBuffers", args, "TRUE");
    return TRUE;
}

// Without MOVEFILE_REPLACE_EXISTING an existing name is never taken; with MOVEFILE_WRITE_THROUGH
// the new name is on the disk when the call returns.
BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    auto args = [&] {
        return sim::Quote(lpExistingFileName) + ", " + sim::Quote(lpNewFileName) + ", " + sim::Hex(dwFlags);
    };
    if (sim::Enter("MoveFileExA", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("MoveFileExA", args, "FALSE (injected)");
        return FALSE;
    }
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr || (dwFlags & ~MOVE_FLAGS) != 0)
        return RefuseWith("MoveFileExA", args, ERROR_INVALID_PARAMETER, FALSE, "FALSE");
    const std::string from = lpExistingFileName;
    const std::string to = lpNewFileName;
    struct stat source;
    if (stat(from.c_str(), &source) != 0)
        return RefuseWith("MoveFileExA", args, ErrorOf(errno, from), FALSE, "FALSE");
    int moved = 0;
    if ((dwFlags & MOVEFILE_REPLACE_EXISTING) != 0) {
        // A folder is never replaced.
        moved = IsFolder(to) ? (errno = EISDIR, -1) : rename(from.c_str(), to.c_str());
    } else {
        moved = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        // A file system without that rename: a second name, then the first one gone.
        if (moved != 0 && errno == EINVAL && (moved = link(from.c_str(), to.c_str())) == 0)
            unlink(from.c_str());
    }
    if (moved != 0)
        return RefuseWith("MoveFileExA", args, errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorOf(errno, to), FALSE,
                          "FALSE");
    if ((dwFlags & MOVEFILE_WRITE_THROUGH) != 0) {
        const int folder = open(Parent(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            fsync(folder);
            close(folder);
        }
    }
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("MoveFileExA", args, "TRUE");
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    auto args = [&] { return sim::Quote(lpFileName); };
    if (sim::Enter("DeleteFileA", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("DeleteFileA", args, "FALSE (injected)");
        return FALSE;
    }
    if (lpFileName == nullptr)
        return RefuseWith("DeleteFileA", args, ERROR_INVALID_PARAMETER, FALSE, "FALSE");
    if (IsFolder(lpFileName))
        return RefuseWith("DeleteFileA", args, ERROR_ACCESS_DENIED, FALSE, "FALSE");
    if (unlink(lpFileName) != 0)
        return RefuseWith("DeleteFileA", args, ErrorOf(errno, lpFileName), FALSE, "FALSE");
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("DeleteFileA", args, "TRUE");
    return TRUE;
}
