// A scanfw.exe named on the command line, mapped as an image resource file (nothing of it runs):
// its BINARY resources as the updater would find them, their SHA-256 and whether each image is the
// one its build embedded the digest of, and the version it says it is. The file may be anything a customer has: every
// resource's bytes are checked against the memory the file was mapped into before one of them is read.
#include <cstring>
#include <vector>

#include "firmware/firmware_image.h"
#include "firmware/image_check.h"
#include "firmware/image_digest.h"
#include "probe/capture.h"
#include "probe/paths.h"
#include "text/hex.h"

namespace {

constexpr const char* STEP = "resources";
constexpr int FIRMWARE_IDS[] = {FIRMWARE_RESOURCE_STANDARD, FIRMWARE_RESOURCE_LARGE};
// Mapped as an image, for its resources only, and kept from being written while it is.
constexpr DWORD LOAD_FOR_RESOURCES = LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
// LoadLibraryExA marks a module mapped as data in the low bits of its handle: the mapping starts
// at the handle with them cleared.
constexpr ULONG_PTR MODULE_MARK_BITS = 3;
constexpr DWORD READABLE_PAGES = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                 PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
// A name that ends in a dot has no extension: LoadLibraryExA would look for NAME.dll otherwise.
constexpr char NO_EXTENSION_MARK = '.';
constexpr uint64_t DWORD_SPAN = 0x100000000ull;
// What the probe found, in the words of its notes.
constexpr const char* FOUND_NO_FILE = "no such file";
constexpr const char* FOUND_FOLDER = "a folder, not an executable";
constexpr const char* FOUND_NOT_EXECUTABLE =
    "not a whole Windows executable: cut short, damaged, or another kind of file";
constexpr const char* FOUND_PAST_END = " bytes, which reach past the end of the file: not read";
// What the digest check of an image found.
constexpr const char* DIGEST_MATCHES = "matches";
constexpr const char* DIGEST_DIFFERS = "differs";
constexpr const char* DIGEST_MISSING = "missing";
constexpr int VERSION_RESOURCE_ID = 1;
// A version resource: the VS_FIXEDFILEINFO record, found by its signature on a 4-byte boundary
// after the header and the key "VS_VERSION_INFO".
constexpr uint32_t FIXED_INFO_SIGNATURE = 0xFEEF04BD;
constexpr size_t FIXED_INFO_ALIGNMENT = 4;
constexpr size_t FILE_VERSION_MS_OFFSET = 8;  // from the signature
constexpr size_t FILE_VERSION_LS_OFFSET = 12;
constexpr unsigned HIGH_WORD_SHIFT = 16;
constexpr uint32_t WORD_MASK = 0xFFFF;

std::string ResourceNameText(LPCSTR name) {
    if (IS_INTRESOURCE(name))
        return std::to_string(static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)));
    return name;
}

BOOL WINAPI CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
    reinterpret_cast<std::vector<std::string>*>(names)->push_back(ResourceNameText(name));
    return TRUE;
}

enum class Extent { Inside, Outside, Unknown };

// Whether `size` bytes from `bytes` lie in the memory that `module` was mapped into, region by
// region: what a size field of the file's resource directory says is never trusted alone.
Extent ExtentOf(HMODULE module, const void* bytes, DWORD size, DWORD& error) {
    const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(module) & ~MODULE_MARK_BITS;
    ULONG_PTR at = reinterpret_cast<ULONG_PTR>(bytes);
    const ULONG_PTR end = at + size;
    if (end < at)
        return Extent::Outside;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(reinterpret_cast<LPCVOID>(at), &region, sizeof region) == 0) {
            error = GetLastError();
            return Extent::Unknown;
        }
        if (reinterpret_cast<ULONG_PTR>(region.AllocationBase) != base || region.State != MEM_COMMIT ||
            (region.Protect & READABLE_PAGES) == 0 || (region.Protect & PAGE_GUARD) != 0)
            return Extent::Outside;
        at = reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize;
    }
    return Extent::Inside;
}

// True when the resource's bytes may be read; otherwise noted, and `seen` says so.
bool Readable(Capture& capture, HMODULE module, const void* bytes, DWORD size, const std::string& subject,
              JsonValue* seen) {
    DWORD error = ERROR_SUCCESS;
    switch (ExtentOf(module, bytes, size, error)) {
        case Extent::Inside:
            return true;
        case Extent::Unknown:
            Note(capture, STEP, "VirtualQuery", subject, error);
            break;
        case Extent::Outside:
            Note(capture, STEP, "SizeofResource", subject, ERROR_HANDLE_EOF, std::to_string(size) + FOUND_PAST_END);
            if (seen != nullptr)
                Add(*seen, "pastEnd", JsonBool(true));
            break;
    }
    return false;
}

// Whether the image's `digest` is the one the executable carries for image `id`, as the updater
// checks it before sending: "matches", "differs" (the updater would refuse it), or "missing" (no
// digest of that form: an updater built before images were checked, or a damaged table).
const char* DigestVerdict(HMODULE module, int id, const uint8_t (&digest)[IMAGE_DIGEST_BYTES]) {
    uint8_t embedded[IMAGE_DIGEST_BYTES];
    if (!ReadEmbeddedDigest(module, id, embedded))
        return DIGEST_MISSING;
    return std::memcmp(embedded, digest, IMAGE_DIGEST_BYTES) == 0 ? DIGEST_MATCHES : DIGEST_DIFFERS;
}

// One BINARY resource, looked up as the updater looks up its own: the scenario's entry for it
// (size, or how the lookup fails, and whether it is damaged) and, when its bytes could be read,
// their size and hash, and for a firmware image (`imageId` other than 0) whether the hash is the
// digest the build embedded. A null entry when the scenario format cannot say what the updater
// would meet: bytes outside the file.
JsonValue Resource(Capture& capture, HMODULE module, LPCSTR name, const std::string& subject, int imageId,
                   JsonValue& seen) {
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
    if (!Readable(capture, module, bytes, size, subject, &seen))
        return JsonValue{};
    Add(entry, "size", JsonNumber(size));
    uint8_t digest[IMAGE_DIGEST_BYTES];
    const bool hashed = HashImage(static_cast<const uint8_t*>(bytes), size, digest);
    if (!hashed)
        Note(capture, STEP, "HashImage", subject, GetLastError());
    Add(seen, "sha256", JsonString(hashed ? HexBytes(digest, IMAGE_DIGEST_BYTES) : ""));
    if (!hashed || imageId == 0)
        return entry;
    const char* verdict = DigestVerdict(module, imageId, digest);
    Add(seen, "digest", JsonString(verdict));
    if (verdict == DIGEST_DIFFERS)
        Add(entry, "damaged", JsonBool(true));
    return entry;
}

// The file version from the version resource, "a.b.c.d"; "" when there is none to read.
std::string FileVersion(Capture& capture, HMODULE module) {
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(VERSION_RESOURCE_ID), RT_VERSION);
    if (found == nullptr)
        return "";
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const auto* bytes = loaded == nullptr ? nullptr : static_cast<const uint8_t*>(LockResource(loaded));
    if (bytes == nullptr || !Readable(capture, module, bytes, size, "version", nullptr))
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

// The executable loaded for its resources, or null (noted) when the file is none: missing, a
// folder, or not a whole executable. `seen` gets the file's size.
HMODULE LoadExecutable(Capture& capture, const std::string& exePath, const std::string& fileName, JsonValue& seen) {
    std::string full;
    size_t nameAt = std::string::npos;
    DWORD error = ERROR_SUCCESS;
    if (!FullPath(exePath, full, nameAt, error)) {
        Note(capture, STEP, "GetFullPathNameA", fileName, error);
        return nullptr;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(full.c_str(), GetFileExInfoStandard, &data)) {
        error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        Note(capture, STEP, "GetFileAttributesExA", fileName, error, missing ? FOUND_NO_FILE : "");
        return nullptr;
    }
    // Windows would refuse to load it as it refuses to open a folder as a file.
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        Note(capture, STEP, "GetFileAttributesExA", fileName, ERROR_ACCESS_DENIED, FOUND_FOLDER);
        return nullptr;
    }
    Add(seen, "bytes", JsonNumber(static_cast<int64_t>(data.nFileSizeHigh * DWORD_SPAN + data.nFileSizeLow)));
    if (nameAt != std::string::npos && full.find('.', nameAt) == std::string::npos)
        full += NO_EXTENSION_MARK;
    HMODULE module = LoadLibraryExA(full.c_str(), nullptr, LOAD_FOR_RESOURCES);
    if (module == nullptr) {
        error = GetLastError();
        Note(capture, STEP, "LoadLibraryExA", fileName, error,
             error == ERROR_BAD_EXE_FORMAT ? FOUND_NOT_EXECUTABLE : "");
    }
    return module;
}

}  // namespace

void CaptureExecutable(Capture& capture, const std::string& exePath) {
    if (exePath.empty())
        return;
    JsonValue seen = JsonObject();
    // Only the file's name: its folder may hold the user's name, which a capture never carries.
    const std::string fileName = FileNameOf(exePath);
    Add(seen, "file", JsonString(fileName));
    HMODULE module = LoadExecutable(capture, exePath, fileName, seen);
    if (module == nullptr) {
        Add(capture.probe, "exe", std::move(seen));
        return;
    }
    std::vector<std::string> names;
    if (!EnumResourceNamesA(module, FIRMWARE_RESOURCE_TYPE, CollectName, reinterpret_cast<LONG_PTR>(&names)) &&
        GetLastError() != ERROR_RESOURCE_TYPE_NOT_FOUND)
        Note(capture, STEP, "EnumResourceNamesA", fileName, GetLastError());

    JsonValue resources = JsonObject();
    JsonValue seenResources = JsonObject();
    bool described = true;
    for (int id : FIRMWARE_IDS) {
        JsonValue record = JsonObject();
        JsonValue entry = Resource(capture, module, MAKEINTRESOURCEA(id), std::to_string(id), id, record);
        described = described && entry.kind != JsonValue::Kind::Null;
        Add(resources, std::to_string(id), std::move(entry));
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
        Resource(capture, module, lookup, name, 0, record);
        Add(seenResources, name, std::move(record));
    }
    const std::string version = FileVersion(capture, module);
    Add(seen, "version", version.empty() ? JsonValue{} : JsonString(version));
    Add(seen, "resources", std::move(seenResources));
    if (!FreeLibrary(module))
        Note(capture, STEP, "FreeLibrary", fileName, GetLastError());
    // An image whose bytes lie outside the file has no form in a scenario: the replay's images are
    // then the defaults, and the notes say why.
    if (described)
        Add(capture.scenario, "resources", std::move(resources));
    Add(capture.probe, "exe", std::move(seen));
}
