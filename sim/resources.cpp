// Simulated executable resources: the BINARY images of the updater's own module.
//
// As on Windows, LoadResource hands out the address of the resource's bytes and LockResource
// returns that same address; nothing is ever freed. The bytes themselves come from
// sim/image_bytes.h, made once per (id, size) for the whole process.
#include <cctype>
#include <cstring>

#include "sim/exe_file.h"
#include "sim/image_bytes.h"
#include "sim/machine.h"
#include "sim/sha256.h"
#include "text/hex.h"

namespace {

constexpr const char* BINARY_TYPE = "BINARY";
// The executable's message table holds the SHA-256 of each image, under the image's id, in US
// English: 64 lower-case hex digits.
constexpr DWORD MESSAGE_TABLE_LANGUAGE = 0x0409;
constexpr DWORD LANGUAGE_NEUTRAL = 0;
constexpr DWORD FORMAT_FLAGS_SERVED = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS;
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
        if (given.mode == sim::ResourceMode::Missing)
            continue;
        const ResourceEntry& e = EntryOf(id);
        if (reinterpret_cast<const void*>(handle) == &e)
            return &e;
    }
    return nullptr;
}

// The numeric id that a resource name stands for, or -1 for a name that is a string.
long NumericId(LPCSTR name) {
    if (IS_INTRESOURCE(name))
        return static_cast<long>(reinterpret_cast<ULONG_PTR>(name));
    if (name[0] != NUMERIC_NAME_MARK || name[1] == '\0')
        return -1;
    unsigned long value = 0;
    for (const char* p = name + 1; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return -1;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > MAX_RESOURCE_ID)
            return -1;
    }
    return static_cast<long>(value);
}

std::string ResourceName(LPCSTR name) {
    if (name != nullptr && IS_INTRESOURCE(name))
        return std::to_string(reinterpret_cast<ULONG_PTR>(name));
    return sim::Quote(name);
}

using sim::Ptr;

const sim::ResourceSpec* GivenOf(int id) {
    const auto& images = sim::M().resources.images;
    auto it = images.find(id);
    return it == images.end() ? nullptr : &it->second;
}

// The modules whose resources are the scenario's: the updater's own (NULL in its own process) and
// the updater's executable loaded as a data file by another program.
bool IsUpdaterModule(HMODULE module) {
    return module == nullptr || sim::FindHandle(module, sim::HandleKind::Module) != nullptr;
}

// The bytes of image `id` as the executable carries it: damaged, if the scenario says so and it has
// a byte to change.
const uint8_t* BytesOf(int id, const sim::ResourceSpec& given) {
    return given.damaged && given.size > 0 ? sim::DamagedImageBytes(id, given.size) : sim::ImageBytes(id, given.size);
}

bool AnyImagePresent() {
    for (const auto& [id, given] : sim::M().resources.images)
        if (given.mode != sim::ResourceMode::Missing)
            return true;
    return false;
}

}  // namespace

namespace sim {
void BootResources(Machine& m) {
    m.resources.images = m.scenario.resources;
}
}  // namespace sim

// Only the updater's module is known here (see IsUpdaterModule); any other module answers
// ERROR_RESOURCE_DATA_NOT_FOUND, as one without a resource section does on Windows.
HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
    auto args = [&] { return Ptr(hModule) + ", " + ResourceName(lpName) + ", " + ResourceName(lpType); };
    if (sim::Enter("FindResourceA", ERROR_RESOURCE_NAME_NOT_FOUND)) {
        sim::TraceCall("FindResourceA", args, "NULL (injected)");
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    long id = lpName == nullptr ? -1 : NumericId(lpName);
    const sim::ResourceSpec* given = id < 0 ? nullptr : GivenOf(static_cast<int>(id));
    if (!IsUpdaterModule(hModule))
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    else if (lpType == nullptr || IS_INTRESOURCE(lpType) || !sim::EqualIgnoringCase(lpType, BINARY_TYPE) ||
             !AnyImagePresent())
        error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    else if (given == nullptr || given->mode == sim::ResourceMode::Missing)
        error = ERROR_RESOURCE_NAME_NOT_FOUND;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("FindResourceA", args, [&] { return "NULL, error " + std::to_string(error); });
        return nullptr;
    }
    HRSRC found = reinterpret_cast<HRSRC>(&EntryOf(static_cast<int>(id)));
    sim::NameAs(found, [&] { return "resource#" + std::to_string(id); });
    sim::TraceCall("FindResourceA", args, [&] { return Ptr(found); });
    return found;
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
    auto args = [&] { return Ptr(hModule) + ", " + Ptr(hResInfo); };
    if (sim::Enter("LoadResource", ERROR_RESOURCE_DATA_NOT_FOUND)) {
        sim::TraceCall("LoadResource", args, "NULL (injected)");
        return nullptr;
    }
    const ResourceEntry* entry = EntryOfHandle(hResInfo);
    const sim::ResourceSpec* given = entry == nullptr ? nullptr : GivenOf(entry->id);
    const uint8_t* bytes = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (!IsUpdaterModule(hModule))
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    else if (given == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (given->mode == sim::ResourceMode::LoadFails)
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    else if ((bytes = BytesOf(entry->id, *given)) == nullptr)
        error = ERROR_NOT_ENOUGH_MEMORY;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("LoadResource", args, [&] { return "NULL, error " + std::to_string(error); });
        return nullptr;
    }
    sim::M().resources.loaded[bytes] = entry->id;
    // HGLOBAL is a non-const pointer; the bytes are read-only to the updater all the same.
    HGLOBAL loaded = const_cast<uint8_t*>(bytes);
    sim::NameAs(loaded, [&] { return "image#" + std::to_string(entry->id); });
    sim::TraceCall("LoadResource", args, [&] { return Ptr(loaded); });
    return loaded;
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
    auto args = [&] { return Ptr(hResData); };
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
        sim::TraceCall("LockResource", args, [&] { return "NULL, error " + std::to_string(error); });
        return nullptr;
    }
    sim::TraceCall("LockResource", args, [&] { return Ptr(hResData); });
    return hResData;
}

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    auto args = [&] { return Ptr(hModule) + ", " + Ptr(hResInfo); };
    if (sim::Enter("SizeofResource", ERROR_RESOURCE_DATA_NOT_FOUND)) {
        sim::TraceCall("SizeofResource", args, "0 (injected)");
        return 0;
    }
    const ResourceEntry* entry = EntryOfHandle(hResInfo);
    const sim::ResourceSpec* given = entry == nullptr ? nullptr : GivenOf(entry->id);
    DWORD error = ERROR_SUCCESS;
    if (!IsUpdaterModule(hModule))
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    else if (given == nullptr)
        error = ERROR_INVALID_HANDLE;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("SizeofResource", args, [&] { return "0, error " + std::to_string(error); });
        return 0;
    }
    // A resource that cannot be loaded or locked still has its size in the resource directory,
    // which in an executable read as a file may be damaged.
    DWORD size = hModule == nullptr ? given->size : sim::SizeInResourceDirectory(entry->id, given->size);
    sim::TraceCall("SizeofResource", args, [&] { return std::to_string(size); });
    return size;
}

// Loads the updater's executable to read its resources; nothing of it runs. A data file is all
// that is modelled: a load that asks for code fails as if the file were not an executable here,
// and the executable as a file is what the scenario's exeFile says (sim/exe_file.cpp).
HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    auto args = [&] { return sim::Quote(lpLibFileName) + ", " + Ptr(hFile) + ", " + sim::Hex(dwFlags); };
    if (sim::Enter("LoadLibraryExA", ERROR_FILE_NOT_FOUND)) {
        sim::TraceCall("LoadLibraryExA", args, "NULL (injected)");
        return nullptr;
    }
    DWORD error =
        lpLibFileName == nullptr || hFile != nullptr ? ERROR_INVALID_PARAMETER : sim::DataFileLoadError(lpLibFileName);
    if (error == ERROR_SUCCESS && (dwFlags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                                              LOAD_LIBRARY_AS_IMAGE_RESOURCE)) == 0)
        error = ERROR_MOD_NOT_FOUND;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("LoadLibraryExA", args, [&] { return "NULL, error " + std::to_string(error); });
        return nullptr;
    }
    HMODULE module = static_cast<HMODULE>(sim::NewHandle(sim::HandleKind::Module, 0));
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("LoadLibraryExA", args, [&] { return Ptr(module); });
    return module;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    auto args = [&] { return Ptr(hLibModule); };
    if (sim::Enter("FreeLibrary", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("FreeLibrary", args, "FALSE (injected)");
        return FALSE;
    }
    if (sim::FindHandle(hLibModule, sim::HandleKind::Module) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        sim::TraceCall("FreeLibrary", args, "FALSE, error 6");
        return FALSE;
    }
    sim::DropHandle(hLibModule);
    sim::TraceCall("FreeLibrary", args, "TRUE");
    return TRUE;
}

// The names of the module's BINARY resources, in the order of their ids, as Windows lists
// numeric names.
BOOL WINAPI EnumResourceNamesA(HMODULE hModule, LPCSTR lpType, ENUMRESNAMEPROCA lpEnumFunc, LONG_PTR lParam) {
    auto args = [&] { return Ptr(hModule) + ", " + ResourceName(lpType); };
    if (sim::Enter("EnumResourceNamesA", ERROR_RESOURCE_TYPE_NOT_FOUND)) {
        sim::TraceCall("EnumResourceNamesA", args, "FALSE (injected)");
        return FALSE;
    }
    DWORD error = ERROR_SUCCESS;
    if (lpEnumFunc == nullptr)
        error = ERROR_INVALID_PARAMETER;
    else if (!IsUpdaterModule(hModule))
        error = ERROR_RESOURCE_DATA_NOT_FOUND;
    else if (lpType == nullptr || IS_INTRESOURCE(lpType) || !sim::EqualIgnoringCase(lpType, BINARY_TYPE) ||
             !AnyImagePresent())
        error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("EnumResourceNamesA", args, [&] { return "FALSE, error " + std::to_string(error); });
        return FALSE;
    }
    // The ids are copied first: the callback may call back into the host.
    std::vector<int> ids;
    for (const auto& [id, given] : sim::M().resources.images)
        if (given.mode != sim::ResourceMode::Missing)
            ids.push_back(id);
    sim::TraceCall("EnumResourceNamesA", args, [&] { return std::to_string(ids.size()) + " names"; });
    for (int id : ids) {
        if (!lpEnumFunc(hModule, lpType, MAKEINTRESOURCEA(id), lParam)) {
            SetLastError(ERROR_RESOURCE_ENUM_USER_STOP);
            return FALSE;
        }
    }
    return TRUE;
}

// The updater's message table: the digest of each image the scenario gives, taken from its bytes
// before any damage, as the build takes it from the image file. Only a lookup into a caller's
// buffer, without inserts, is modelled.
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list* Arguments) {
    auto args = [&] {
        return sim::Hex(dwFlags) + ", " + Ptr(lpSource) + ", " + std::to_string(dwMessageId) + ", " +
               sim::Hex(dwLanguageId) + ", " + Ptr(lpBuffer) + ", " + std::to_string(nSize);
    };
    if (sim::Enter("FormatMessageA", ERROR_MR_MID_NOT_FOUND)) {
        sim::TraceCall("FormatMessageA", args, "0 (injected)");
        return 0;
    }
    const sim::ResourceSpec* given = GivenOf(static_cast<int>(dwMessageId));
    std::string text;
    DWORD error = ERROR_SUCCESS;
    if (dwFlags != FORMAT_FLAGS_SERVED || lpBuffer == nullptr || Arguments != nullptr)
        error = ERROR_INVALID_PARAMETER;
    else if (!IsUpdaterModule(static_cast<HMODULE>(const_cast<void*>(lpSource))))
        error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    else if (given == nullptr || given->mode != sim::ResourceMode::Present)
        error = ERROR_MR_MID_NOT_FOUND;
    else if (dwLanguageId != MESSAGE_TABLE_LANGUAGE && dwLanguageId != LANGUAGE_NEUTRAL)
        error = ERROR_RESOURCE_LANG_NOT_FOUND;
    else if (const uint8_t* intact = sim::ImageBytes(static_cast<int>(dwMessageId), given->size); intact == nullptr)
        error = ERROR_NOT_ENOUGH_MEMORY;
    else if ((text = sim::Sha256Hex(intact, given->size)).size() >= nSize)
        error = ERROR_INSUFFICIENT_BUFFER;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("FormatMessageA", args, [&] { return "0, error " + std::to_string(error); });
        return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("FormatMessageA", args, [&] { return std::to_string(text.size()) + ", \"" + text + "\""; });
    return static_cast<DWORD>(text.size());
}
