// A scanfw.exe named on the command line, loaded as a data file (nothing of it runs): its BINARY
// resources as the updater would find them, their SHA-256, and the version it says it is.
#include <cstring>
#include <vector>

#include "firmware/firmware_image.h"
#include "probe/capture.h"
#include "text/hex.h"

namespace {

constexpr const char* STEP = "resources";
constexpr int FIRMWARE_IDS[] = {FIRMWARE_RESOURCE_STANDARD, FIRMWARE_RESOURCE_LARGE};
constexpr ULONG SHA256_BYTES = 32;
constexpr int VERSION_RESOURCE_ID = 1;
// A version resource: the VS_FIXEDFILEINFO record, found by its signature on a 4-byte boundary
// after the header and the key "VS_VERSION_INFO".
constexpr uint32_t FIXED_INFO_SIGNATURE = 0xFEEF04BD;
constexpr size_t FIXED_INFO_ALIGNMENT = 4;
constexpr size_t FILE_VERSION_MS_OFFSET = 8;  // from the signature
constexpr size_t FILE_VERSION_LS_OFFSET = 12;
constexpr unsigned HIGH_WORD_SHIFT = 16;
constexpr uint32_t WORD_MASK = 0xFFFF;

// Every failing status of these functions is negative; <windows.h> has no test for it.
bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

std::string ResourceNameText(LPCSTR name) {
    if (IS_INTRESOURCE(name))
        return std::to_string(static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)));
    return name;
}

BOOL WINAPI CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
    reinterpret_cast<std::vector<std::string>*>(names)->push_back(ResourceNameText(name));
    return TRUE;
}

// The SHA-256 of the bytes as 64 hex digits, by the system's hash functions; "" (noted) when they fail.
std::string Sha256(Capture& capture, const uint8_t* data, DWORD length, const std::string& subject) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!Succeeded(status)) {
        Note(capture, STEP, "BCryptOpenAlgorithmProvider", subject, static_cast<DWORD>(status));
        return "";
    }
    std::string hex;
    BCRYPT_HASH_HANDLE hash = nullptr;
    status = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    if (!Succeeded(status)) {
        Note(capture, STEP, "BCryptCreateHash", subject, static_cast<DWORD>(status));
    } else {
        uint8_t digest[SHA256_BYTES];
        // The input is only read; the parameter is not const in the declaration.
        status = BCryptHashData(hash, const_cast<PUCHAR>(data), length, 0);
        if (!Succeeded(status))
            Note(capture, STEP, "BCryptHashData", subject, static_cast<DWORD>(status));
        else if (status = BCryptFinishHash(hash, digest, SHA256_BYTES, 0); !Succeeded(status))
            Note(capture, STEP, "BCryptFinishHash", subject, static_cast<DWORD>(status));
        else
            hex = HexBytes(digest, SHA256_BYTES);
        status = BCryptDestroyHash(hash);
        if (!Succeeded(status))
            Note(capture, STEP, "BCryptDestroyHash", subject, static_cast<DWORD>(status));
    }
    status = BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!Succeeded(status))
        Note(capture, STEP, "BCryptCloseAlgorithmProvider", subject, static_cast<DWORD>(status));
    return hex;
}

// One BINARY resource, looked up as the updater looks up its own: the scenario's entry for it
// (size, or how the lookup fails) and, when its bytes could be read, their size and hash.
JsonValue Resource(Capture& capture, HMODULE module, LPCSTR name, const std::string& subject, JsonValue& seen) {
    JsonValue entry = JsonObject();
    HRSRC found = FindResourceA(module, name, FIRMWARE_RESOURCE_TYPE);
    if (found == nullptr) {
        Add(seen, "findError", JsonNumber(GetLastError()));
        Add(entry, "missing", JsonBool(true));
        return entry;
    }
    const DWORD size = SizeofResource(module, found);
    Add(seen, "size", JsonNumber(size));
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) {
        Add(seen, "loadError", JsonNumber(GetLastError()));
        Add(entry, "loadFails", JsonBool(true));
        return entry;
    }
    const void* bytes = LockResource(loaded);
    if (bytes == nullptr) {
        Add(seen, "lockError", JsonNumber(GetLastError()));
        Add(entry, "lockFails", JsonBool(true));
        return entry;
    }
    Add(entry, "size", JsonNumber(size));
    Add(seen, "sha256", JsonString(Sha256(capture, static_cast<const uint8_t*>(bytes), size, subject)));
    return entry;
}

// The file version from the version resource, "a.b.c.d"; "" when there is none to read.
std::string FileVersion(HMODULE module) {
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(VERSION_RESOURCE_ID), RT_VERSION);
    if (found == nullptr)
        return "";
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const auto* bytes = loaded == nullptr ? nullptr : static_cast<const uint8_t*>(LockResource(loaded));
    if (bytes == nullptr)
        return "";
    for (size_t at = 0; at + FILE_VERSION_LS_OFFSET + sizeof(uint32_t) <= size; at += FIXED_INFO_ALIGNMENT) {
        uint32_t signature = 0;
        std::memcpy(&signature, bytes + at, sizeof signature);
        if (signature != FIXED_INFO_SIGNATURE)
            continue;
        uint32_t high = 0;
        uint32_t low = 0;
        std::memcpy(&high, bytes + at + FILE_VERSION_MS_OFFSET, sizeof high);
        std::memcpy(&low, bytes + at + FILE_VERSION_LS_OFFSET, sizeof low);
        return std::to_string(high >> HIGH_WORD_SHIFT) + "." + std::to_string(high & WORD_MASK) + "." +
               std::to_string(low >> HIGH_WORD_SHIFT) + "." + std::to_string(low & WORD_MASK);
    }
    return "";
}

}  // namespace

void CaptureExecutable(Capture& capture, const std::string& exePath) {
    if (exePath.empty())
        return;
    JsonValue seen = JsonObject();
    // Only the file's name: its folder may hold the user's name, which a capture never carries.
    const size_t folderEnd = exePath.find_last_of("\\/:");
    const std::string fileName = folderEnd == std::string::npos ? exePath : exePath.substr(folderEnd + 1);
    Add(seen, "file", JsonString(fileName));
    HMODULE module = LoadLibraryExA(exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        Note(capture, STEP, "LoadLibraryExA", fileName, GetLastError());
        Add(capture.probe, "exe", std::move(seen));
        return;
    }
    std::vector<std::string> names;
    if (!EnumResourceNamesA(module, FIRMWARE_RESOURCE_TYPE, CollectName, reinterpret_cast<LONG_PTR>(&names)) &&
        GetLastError() != ERROR_RESOURCE_TYPE_NOT_FOUND)
        Note(capture, STEP, "EnumResourceNamesA", fileName, GetLastError());

    JsonValue resources = JsonObject();
    JsonValue seenResources = JsonObject();
    for (int id : FIRMWARE_IDS) {
        JsonValue record = JsonObject();
        Add(resources, std::to_string(id), Resource(capture, module, MAKEINTRESOURCEA(id), std::to_string(id), record));
        Add(seenResources, std::to_string(id), std::move(record));
    }
    // Any other BINARY resource is not one the updater uses: kept for the record only.
    for (const std::string& name : names) {
        if (Member(seenResources, name) != nullptr)
            continue;
        JsonValue record = JsonObject();
        LPCSTR lookup = name.c_str();
        std::string numbered = "#" + name;
        if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
            lookup = numbered.c_str();
        Resource(capture, module, lookup, name, record);
        Add(seenResources, name, std::move(record));
    }
    const std::string version = FileVersion(module);
    Add(seen, "version", version.empty() ? JsonValue{} : JsonString(version));
    Add(seen, "resources", std::move(seenResources));
    if (!FreeLibrary(module))
        Note(capture, STEP, "FreeLibrary", fileName, GetLastError());
    Add(capture.scenario, "resources", std::move(resources));
    Add(capture.probe, "exe", std::move(seen));
}
