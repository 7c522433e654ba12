#include "deploy/log_folder.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr const char* RECORD_PREFIX = "scanfw-deploy-";
constexpr const char* LOG_SUFFIX = ".log";
constexpr const char* JSON_SUFFIX = ".json";
constexpr size_t COMPACT_TIME_LENGTH = 16;  // "20260101T000019Z"
constexpr int MOST_SAME_NAMES = 100;
// A folder path deeper than this is no folder to make.
constexpr int MOST_FOLDER_LEVELS = 64;

char SeparatorOf(const std::string& folder) {
    return folder.find('\\') == std::string::npos && folder.find('/') != std::string::npos ? '/' : '\\';
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool Exists(const std::string& path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

bool MakeFolderAt(const std::string& folder, DWORD& error, int levels) {
    if (CreateDirectoryA(folder.c_str(), nullptr))
        return true;
    error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS)
        return true;
    if (error != ERROR_PATH_NOT_FOUND || levels == 0)
        return false;
    // The parent first, then this one again.
    size_t end = folder.size();
    while (end > 0 && IsSeparator(folder[end - 1])) --end;
    const size_t parentEnd = folder.find_last_of("\\/", end == 0 ? 0 : end - 1);
    if (parentEnd == std::string::npos || parentEnd == 0)
        return false;
    if (!MakeFolderAt(folder.substr(0, parentEnd), error, levels - 1))
        return false;
    if (CreateDirectoryA(folder.c_str(), nullptr))
        return true;
    error = GetLastError();
    return error == ERROR_ALREADY_EXISTS;
}

// Whether `name` is a log of `computer`'s: the prefix, a time, the computer's name, and nothing
// but a number after it (a name that was taken), so that "PC" never takes "PC2"'s logs.
bool IsLogOf(const std::string& name, const std::string& computer) {
    const std::string prefix = RECORD_PREFIX;
    const std::string suffix = LOG_SUFFIX;
    const size_t nameAt = prefix.size() + COMPACT_TIME_LENGTH + 1;
    if (name.size() < nameAt + computer.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name[nameAt - 1] != '-' || name.compare(nameAt, computer.size(), computer) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string rest =
        name.substr(nameAt + computer.size(), name.size() - suffix.size() - nameAt - computer.size());
    return rest.empty() ||
           (rest.size() > 1 && rest[0] == '-' && rest.find_first_not_of("0123456789", 1) == std::string::npos);
}

}  // namespace

std::string PathIn(const std::string& folder, const std::string& name) {
    if (folder.empty() || IsSeparator(folder.back()))
        return folder + name;
    return folder + SeparatorOf(folder) + name;
}

bool MakeFolder(const std::string& folder, DWORD& error) {
    error = ERROR_SUCCESS;
    return MakeFolderAt(folder, error, MOST_FOLDER_LEVELS);
}

std::string FreeRecordName(const std::string& folder, const std::string& compactTime, const std::string& computer) {
    const std::string base = RECORD_PREFIX + compactTime + "-" + computer;
    std::string name = base;
    for (int n = 2; n <= MOST_SAME_NAMES &&
                    (Exists(PathIn(folder, name + LOG_SUFFIX)) || Exists(PathIn(folder, name + JSON_SUFFIX)));
         ++n)
        name = base + "-" + std::to_string(n);
    return name;
}

bool WriteNewFile(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    written = std::fclose(file) == 0 && written;
    return written;
}

void KeepNewestRecords(const std::string& folder, const std::string& computer) {
    // Every log of this computer, whatever its time: their names sort by it.
    const std::string pattern = PathIn(folder, RECORD_PREFIX + std::string("*-") + computer + "*" + LOG_SUFFIX);
    std::vector<std::string> logs;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (IsLogOf(found.cFileName, computer))
            logs.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    if (logs.size() <= KEPT_RECORDS)
        return;
    std::sort(logs.begin(), logs.end());
    const size_t suffix = std::char_traits<char>::length(LOG_SUFFIX);
    for (size_t i = 0; i + KEPT_RECORDS < logs.size(); ++i) {
        const std::string stem = logs[i].substr(0, logs[i].size() - suffix);
        DeleteFileA(PathIn(folder, logs[i]).c_str());
        DeleteFileA(PathIn(folder, stem + JSON_SUFFIX).c_str());
    }
}
