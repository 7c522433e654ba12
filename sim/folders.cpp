// Simulated folder calls for the files of a record: they act on the host's own file system, by
// host paths, so that the files a program writes with the C library (which the simulated host
// does not stand in for) are the ones these calls create and list (sim/files.cpp deletes them). A search lists a
// folder's names in their sorted order, as NTFS does, and compares them without regard to case.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/machine.h"

using sim::HandleKind;
using sim::M;
using sim::Ptr;
using sim::Refuse;

namespace {

constexpr mode_t NEW_FOLDER_MODE = 0777;

// Windows' error for what the host's call reported.
DWORD ErrorOf(int error) {
    switch (error) {
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOENT:
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        default:
            return ERROR_ACCESS_DENIED;
    }
}

// Fills the caller's record with the entry `name` of `folder`.
void Describe(const std::string& folder, const std::string& name, LPWIN32_FIND_DATAA data) {
    std::memset(data, 0, sizeof *data);
    struct stat st;
    if (stat((folder + "/" + name).c_str(), &st) == 0) {
        data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        data->nFileSizeLow = static_cast<DWORD>(st.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    }
    std::snprintf(data->cFileName, sizeof data->cFileName, "%s", name.c_str());
}

}  // namespace

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    auto args = [&] { return sim::Quote(lpPathName) + ", " + Ptr(lpSecurityAttributes); };
    if (sim::Enter("CreateDirectoryA", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("CreateDirectoryA", args, "FALSE (injected)");
        return FALSE;
    }
    if (lpPathName == nullptr || *lpPathName == '\0')
        return Refuse("CreateDirectoryA", args, ERROR_PATH_NOT_FOUND);
    if (mkdir(lpPathName, NEW_FOLDER_MODE) != 0)
        return Refuse("CreateDirectoryA", args, ErrorOf(errno));
    sim::TraceCall("CreateDirectoryA", args, "TRUE");
    return TRUE;
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    auto args = [&] { return sim::Quote(lpFileName) + ", " + Ptr(lpFindFileData); };
    auto refuse = [&](DWORD error) {
        SetLastError(error);
        sim::TraceCall("FindFirstFileA", args, [&] { return "INVALID_HANDLE_VALUE, error " + std::to_string(error); });
        return INVALID_HANDLE_VALUE;
    };
    if (sim::Enter("FindFirstFileA", ERROR_FILE_NOT_FOUND)) {
        sim::TraceCall("FindFirstFileA", args, "INVALID_HANDLE_VALUE (injected)");
        return INVALID_HANDLE_VALUE;
    }
    if (lpFileName == nullptr || lpFindFileData == nullptr)
        return refuse(ERROR_INVALID_PARAMETER);
    // A pattern is a folder and a name with wildcards in its last part.
    const std::string pattern = lpFileName;
    const size_t slash = pattern.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash);
    const std::string wildcard = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return refuse(ERROR_PATH_NOT_FOUND);
    sim::FolderSearch search;
    search.folder = folder;
    while (const dirent* entry = readdir(dir))
        if (fnmatch(wildcard.c_str(), entry->d_name, FNM_NOESCAPE | FNM_CASEFOLD) == 0)
            search.names.push_back(entry->d_name);
    closedir(dir);
    if (search.names.empty())
        return refuse(ERROR_FILE_NOT_FOUND);
    std::sort(search.names.begin(), search.names.end());
    Describe(folder, search.names[0], lpFindFileData);
    search.next = 1;
    auto& searches = M().folders.searches;
    searches.push_back(std::move(search));
    HANDLE h = sim::NewHandle(HandleKind::Find, static_cast<int>(searches.size() - 1));
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("FindFirstFileA", args, [&] { return Ptr(h) + ", " + lpFindFileData->cFileName; });
    return h;
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    auto args = [&] { return Ptr(hFindFile) + ", " + Ptr(lpFindFileData); };
    if (sim::Enter("FindNextFileA", ERROR_NO_MORE_FILES)) {
        sim::TraceCall("FindNextFileA", args, "FALSE (injected)");
        return FALSE;
    }
    const sim::HandleObject* obj = sim::FindHandle(hFindFile, HandleKind::Find);
    if (obj == nullptr || lpFindFileData == nullptr)
        return Refuse("FindNextFileA", args, obj == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    sim::FolderSearch& search = M().folders.searches[static_cast<size_t>(obj->ref)];
    if (search.next >= search.names.size())
        return Refuse("FindNextFileA", args, ERROR_NO_MORE_FILES);
    Describe(search.folder, search.names[search.next++], lpFindFileData);
    sim::TraceCall("FindNextFileA", args, [&] { return std::string("TRUE, ") + lpFindFileData->cFileName; });
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    auto args = [&] { return Ptr(hFindFile); };
    if (sim::Enter("FindClose", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("FindClose", args, "FALSE (injected)");
        return FALSE;
    }
    if (sim::FindHandle(hFindFile, HandleKind::Find) == nullptr)
        return Refuse("FindClose", args, ERROR_INVALID_HANDLE);
    sim::DropHandle(hFindFile);
    sim::TraceCall("FindClose", args, "TRUE");
    return TRUE;
}
