#include "probe/paths.h"

#include <cctype>

namespace {

constexpr const char* DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
// These, followed by one digit from 1 to 9, name serial and parallel ports.
constexpr const char* PORT_NAMES[] = {"COM", "LPT"};
constexpr char FIRST_PORT_DIGIT = '1';
constexpr char LAST_PORT_DIGIT = '9';
// The second part of a share path that is no folder: \\server\pipe\..., \\server\mailslot\...
constexpr const char* SHARE_NAMESPACES[] = {"PIPE", "MAILSLOT"};
// "\\." and "\\?" (the device and the long-path namespaces), "\??" (the object manager's).
constexpr size_t NAMESPACE_PREFIX_LENGTH = 3;
constexpr size_t DRIVE_PREFIX_LENGTH = 2;  // "C:"
constexpr const char* SEPARATORS = "\\/";

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool InNamespace(const std::string& path) {
    if (path.size() < NAMESPACE_PREFIX_LENGTH || !IsSeparator(path[0]))
        return false;
    const bool device = IsSeparator(path[1]) && (path[2] == '.' || path[2] == '?');
    const bool objects = path[1] == '?' && path[2] == '?';
    return (device || objects) &&
           (path.size() == NAMESPACE_PREFIX_LENGTH || IsSeparator(path[NAMESPACE_PREFIX_LENGTH]));
}

// \\server\pipe\name and \\server\mailslot\name.
bool InShareNamespace(const std::string& path) {
    if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1]))
        return false;
    const size_t serverEnd = path.find_first_of(SEPARATORS, 2);
    if (serverEnd == std::string::npos)
        return false;
    const size_t shareEnd = path.find_first_of(SEPARATORS, serverEnd + 1);
    const std::string share = Upper(path.substr(serverEnd + 1, shareEnd - serverEnd - 1));
    for (const char* name : SHARE_NAMESPACES)
        if (share == name)
            return true;
    return false;
}

// The last part as Windows compares it with the device names: up to its first dot or colon, without
// the spaces before them ("nul .txt" and "COM1:" are devices too).
std::string DeviceStem(const std::string& path) {
    size_t start = path.find_last_of(SEPARATORS);
    start = start == std::string::npos ? 0 : start + 1;
    if (start == 0 && path.size() >= DRIVE_PREFIX_LENGTH && std::isalpha(static_cast<unsigned char>(path[0])) &&
        path[1] == ':')
        start = DRIVE_PREFIX_LENGTH;
    std::string stem = path.substr(start);
    stem = stem.substr(0, stem.find_first_of(".:"));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    return Upper(stem);
}

}  // namespace

bool NamesDevice(const std::string& path) {
    if (InNamespace(path) || InShareNamespace(path))
        return true;
    const std::string stem = DeviceStem(path);
    for (const char* name : DEVICE_NAMES)
        if (stem == name)
            return true;
    for (const char* port : PORT_NAMES) {
        const std::string prefix = port;
        if (stem.size() == prefix.size() + 1 && stem.compare(0, prefix.size(), prefix) == 0 &&
            stem.back() >= FIRST_PORT_DIGIT && stem.back() <= LAST_PORT_DIGIT)
            return true;
    }
    return false;
}

bool FullPath(const std::string& path, std::string& full, size_t& nameAt, DWORD& error) {
    char buffer[MAX_PATH];
    LPSTR filePart = nullptr;
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, &filePart);
    if (length == 0) {
        error = GetLastError();
        return false;
    }
    // The length it would need: longer than any path the probe's calls take.
    if (length >= sizeof buffer) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    full.assign(buffer, length);
    nameAt = filePart == nullptr ? std::string::npos : static_cast<size_t>(filePart - buffer);
    return true;
}

std::string FileNameOf(const std::string& path) {
    const size_t folderEnd = path.find_last_of("\\/:");
    return folderEnd == std::string::npos ? path : path.substr(folderEnd + 1);
}
