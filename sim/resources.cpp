// Simulated executable resources: the BINARY images of the updater's own module.
//
// As on Windows, LoadResource hands out the address of the resource's bytes and LockResource
// returns that same address; nothing is ever freed. The bytes of an image depend only on its id
// and size, so they are made once per (id, size) for the whole process and shared by every run:
// the host tests run the updater thousands of times, and a view handed out in one run stays
// valid until the process ends, as a mapped executable's would.
#include <cctype>
#include <memory>
#include <new>
#include <utility>

#include "sim/machine.h"

namespace {

constexpr const char* BINARY_TYPE = "BINARY";
// The pattern of a stand-in image: byte k is (id + STEP * k) mod PERIOD.
constexpr unsigned PATTERN_STEP = 7;
constexpr unsigned PATTERN_PERIOD = 251;
// A string resource name of the form "#121" names the numeric id 121, as on Windows.
constexpr char NUMERIC_NAME_MARK = '#';
constexpr unsigned long MAX_RESOURCE_ID = 0xFFFF;

// What an HRSRC points at: one entry per resource id, at a fixed address for the whole process.
struct ResourceEntry {
    int id = 0;
};

ResourceEntry& EntryOf(int id) {
    static std::map<int, ResourceEntry> entries;
    ResourceEntry& e = entries[id];
    e.id = id;
    return e;
}

// The entry behind an HRSRC of this run, or null for anything FindResourceA did not return.
const ResourceEntry* EntryOfHandle(HRSRC handle) {
    for (const auto& [id, given] : sim::M().resources.images) {
        if (given.mode == sim::ResourceMode::Missing) continue;
        const ResourceEntry& e = EntryOf(id);
        if (reinterpret_cast<const void*>(handle) == &e) return &e;
    }
    return nullptr;
}

// The bytes of image `id` of `size` bytes, made on first use and kept until the process ends.
// Null only when the memory cannot be had.
const uint8_t* ImageBytes(int id, uint32_t size) {
    static std::map<std::pair<int, uint32_t>, std::unique_ptr<uint8_t[]>> cache;
    std::unique_ptr<uint8_t[]>& bytes = cache[{id, size}];
    if (bytes) return bytes.get();
    // An exact-size block (a zero-size one is still a distinct address), so that the address
    // sanitizer catches any read past the end of an image.
    bytes.reset(new (std::nothrow) uint8_t[size]);
    if (!bytes) return nullptr;
    unsigned value = static_cast<unsigned>(id) % PATTERN_PERIOD;
    for (uint32_t k = 0; k < size; ++k) {
        bytes[k] = static_cast<uint8_t>(value);
        value = (value + PATTERN_STEP) % PATTERN_PERIOD;
    }
    return bytes.get();
}

bool SameTextIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

// The numeric id that a resource name stands for, or -1 for a name that is a string.
long NumericId(LPCSTR name) {
    if (IS_INTRESOURCE(name)) return static_cast<long>(reinterpret_cast<ULONG_PTR>(name));
    if (name[0] != NUMERIC_NAME_MARK || name[1] == '\0') return -1;
    unsigned long value = 0;
    for (const char* p = name + 1; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return -1;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > MAX_RESOURCE_ID) return -1;
    }
    return static_cast<long>(value);
}

std::string ResourceName(LPCSTR name) {
    if (name != nullptr && IS_INTRESOURCE(name)) return std::to_string(reinterpret_cast<ULONG_PTR>(name));
    return sim::Quote(name);
}

using sim::Ptr;

const sim::ResourceSpec* GivenOf(int id) {
    const auto& images = sim::M().resources.images;
    auto it = images.find(id);
    return it == images.end() ? nullptr : &it->second;
}

bool AnyImagePresent() {
    for (const auto& [id, given] : sim::M().resources.images)
        if (given.mode != sim::ResourceMode::Missing) return true;
    return false;
}

}  // namespace

namespace sim {
void BootResources(Machine& m) { m.resources.images = m.scenario.resources; }
}  // namespace sim

// Only the executable's own module, named by NULL, is known here; a module without resources
// answers ERROR_RESOURCE_DATA_NOT_FOUND, as one without a resource section does on Windows.
HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
    std::string args = Ptr(hModule) + ", " + ResourceName(lpName) + ", " + ResourceName(lpType);
    if (sim::Enter("FindResourceA", ERROR_RESOURCE_NAME_NOT_FOUND)) {
        sim::TraceCall("FindResourceA", args, "NULL (injected)");
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    long id = lpName == nullptr ? -1 : NumericId(lpName);
    const sim::ResourceSpec* given = id < 0 ? nullptr : GivenOf(static_cast<int>(id));
    if (hModule != nullptr)
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    else if (lpType == nullptr || IS_INTRESOURCE(lpType) || !SameTextIgnoringCase(lpType, BINARY_TYPE) ||
             !AnyImagePresent())
        error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    else if (given == nullptr || given->mode == sim::ResourceMode::Missing)
        error = ERROR_RESOURCE_NAME_NOT_FOUND;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("FindResourceA", args, "NULL, error " + std::to_string(error));
        return nullptr;
    }
    HRSRC found = reinterpret_cast<HRSRC>(&EntryOf(static_cast<int>(id)));
    sim::NameAs(found, "resource#" + std::to_string(id));
    sim::TraceCall("FindResourceA", args, Ptr(found));
    return found;
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
    std::string args = Ptr(hModule) + ", " + Ptr(hResInfo);
    if (sim::Enter("LoadResource", ERROR_RESOURCE_DATA_NOT_FOUND)) {
        sim::TraceCall("LoadResource", args, "NULL (injected)");
        return nullptr;
    }
    const ResourceEntry* entry = EntryOfHandle(hResInfo);
    const sim::ResourceSpec* given = entry == nullptr ? nullptr : GivenOf(entry->id);
    const uint8_t* bytes = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (hModule != nullptr)
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    else if (given == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (given->mode == sim::ResourceMode::LoadFails)
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    else if ((bytes = ImageBytes(entry->id, given->size)) == nullptr)
        error = ERROR_NOT_ENOUGH_MEMORY;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("LoadResource", args, "NULL, error " + std::to_string(error));
        return nullptr;
    }
    sim::M().resources.loaded[bytes] = entry->id;
    // HGLOBAL is a non-const pointer; the bytes are read-only to the updater all the same.
    HGLOBAL loaded = const_cast<uint8_t*>(bytes);
    sim::NameAs(loaded, "image#" + std::to_string(entry->id));
    sim::TraceCall("LoadResource", args, Ptr(loaded));
    return loaded;
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
    std::string args = Ptr(hResData);
    if (sim::Enter("LockResource", ERROR_RESOURCE_DATA_NOT_FOUND)) {
        sim::TraceCall("LockResource", args, "NULL (injected)");
        return nullptr;
    }
    const auto& loaded = sim::M().resources.loaded;
    auto it = loaded.find(hResData);
    const sim::ResourceSpec* given = it == loaded.end() ? nullptr : GivenOf(it->second);
    DWORD error = ERROR_SUCCESS;
    if (given == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (given->mode == sim::ResourceMode::LockFails)
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("LockResource", args, "NULL, error " + std::to_string(error));
        return nullptr;
    }
    sim::TraceCall("LockResource", args, Ptr(hResData));
    return hResData;
}

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    std::string args = Ptr(hModule) + ", " + Ptr(hResInfo);
    if (sim::Enter("SizeofResource", ERROR_RESOURCE_DATA_NOT_FOUND)) {
        sim::TraceCall("SizeofResource", args, "0 (injected)");
        return 0;
    }
    const ResourceEntry* entry = EntryOfHandle(hResInfo);
    const sim::ResourceSpec* given = entry == nullptr ? nullptr : GivenOf(entry->id);
    DWORD error = ERROR_SUCCESS;
    if (hModule != nullptr)
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    else if (given == nullptr)
        error = ERROR_INVALID_HANDLE;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("SizeofResource", args, "0, error " + std::to_string(error));
        return 0;
    }
    // A resource that cannot be loaded or locked still has its size in the resource directory.
    DWORD size = given->size;
    sim::TraceCall("SizeofResource", args, std::to_string(size));
    return size;
}
