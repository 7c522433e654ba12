#include "sim/exe_file.h"

#include <sys/stat.h>

#include <string>

#include "sim/machine.h"

namespace {

constexpr const char* UPDATER_FILE_NAME = "scanfw.exe";
// The executable's bytes besides its images: headers, code and the other resources.
constexpr uint64_t EXE_OTHER_BYTES = 131072;
// A short text file where the executable should be.
constexpr uint64_t TEXT_FILE_BYTES = 26;
constexpr int PAST_END_IMAGE = 121;
constexpr uint64_t PAST_END_FACTOR = 2;  // the damaged size field: twice the file's length
// A LoadLibraryExA name that ends in a dot has no extension: the file is the name without it.
constexpr char NO_EXTENSION_MARK = '.';
// Where the updater's own image lies when no module is loaded as a data file (x64's default).
constexpr uintptr_t OWN_IMAGE_BASE = 0x140000000ull;
constexpr uintptr_t PAGE_BYTES = 4096;
constexpr uint64_t DWORD_SPAN = 0x100000000ull;

uint64_t WholeExeBytes() {
    uint64_t bytes = EXE_OTHER_BYTES;
    for (const auto& [id, given] : sim::M().resources.images)
        if (given.mode != sim::ResourceMode::Missing)
            bytes += given.size;
    return bytes;
}

uint64_t ExeBytes() {
    switch (sim::M().scenario.exeFile) {
        case sim::ExeFile::Truncated:
            return WholeExeBytes() / 2;
        case sim::ExeFile::NotExecutable:
            return TEXT_FILE_BYTES;
        case sim::ExeFile::Folder:
            return 0;
        case sim::ExeFile::Whole:
        case sim::ExeFile::ImagePastEnd:
            break;
    }
    return WholeExeBytes();
}

// The base of the module whose resources LoadResource handed out: the data-file module, when one
// is loaded, else the updater's own image.
const void* ModuleBase() {
    for (const auto& [value, obj] : sim::M().handles)
        if (obj.kind == sim::HandleKind::Module)
            return reinterpret_cast<const void*>(value);
    return reinterpret_cast<const void*>(OWN_IMAGE_BASE);
}

}  // namespace

namespace sim {

bool NamesUpdaterExe(const char* path) {
    std::string name = path;
    const size_t folderEnd = name.find_last_of("\\/:");
    if (folderEnd != std::string::npos)
        name = name.substr(folderEnd + 1);
    return EqualIgnoringCase(name, UPDATER_FILE_NAME);
}

void UpdaterExeAttributes(WIN32_FILE_ATTRIBUTE_DATA& data) {
    data = WIN32_FILE_ATTRIBUTE_DATA{};
    const bool folder = M().scenario.exeFile == ExeFile::Folder;
    data.dwFileAttributes = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    const uint64_t bytes = ExeBytes();
    data.nFileSizeHigh = static_cast<DWORD>(bytes / DWORD_SPAN);
    data.nFileSizeLow = static_cast<DWORD>(bytes % DWORD_SPAN);
}

DWORD DataFileLoadError(const char* path) {
    std::string name = path;
    if (!name.empty() && name.back() == NO_EXTENSION_MARK)
        name.pop_back();
    if (NamesUpdaterExe(name.c_str())) {
        switch (M().scenario.exeFile) {
            case ExeFile::Truncated:
            case ExeFile::NotExecutable:
                return ERROR_BAD_EXE_FORMAT;
            case ExeFile::Folder:
                return ERROR_ACCESS_DENIED;
            case ExeFile::Whole:
            case ExeFile::ImagePastEnd:
                return ERROR_SUCCESS;
        }
    }
    // The disk holds no other executable: any other file is some other kind of file.
    struct stat info;
    if (stat(name.c_str(), &info) != 0)
        return ERROR_FILE_NOT_FOUND;
    return S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_BAD_EXE_FORMAT;
}

DWORD SizeInResourceDirectory(int id, DWORD size) {
    if (id != PAST_END_IMAGE || M().scenario.exeFile != ExeFile::ImagePastEnd)
        return size;
    const uint64_t claimed = PAST_END_FACTOR * ExeBytes();
    return claimed >= DWORD_SPAN ? static_cast<DWORD>(DWORD_SPAN - 1) : static_cast<DWORD>(claimed);
}

}  // namespace sim

// The resource bytes handed out are the module's memory, one read-only region each, as long as
// the image; any other address is free.
SIZE_T WINAPI VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer, SIZE_T dwLength) {
    auto args = [&] { return sim::Ptr(lpAddress) + ", " + sim::Ptr(lpBuffer) + ", " + std::to_string(dwLength); };
    if (sim::Enter("VirtualQuery", ERROR_INVALID_PARAMETER)) {
        sim::TraceCall("VirtualQuery", args, "0 (injected)");
        return 0;
    }
    if (lpBuffer == nullptr || dwLength < sizeof(MEMORY_BASIC_INFORMATION)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        sim::TraceCall("VirtualQuery", args, "0, error 87");
        return 0;
    }
    *lpBuffer = MEMORY_BASIC_INFORMATION{};
    const auto address = reinterpret_cast<uintptr_t>(lpAddress);
    const sim::Machine& m = sim::M();
    for (const auto& [bytes, id] : m.resources.loaded) {
        const auto start = reinterpret_cast<uintptr_t>(bytes);
        const auto given = m.resources.images.find(id);
        const uintptr_t size = given == m.resources.images.end() ? 0 : given->second.size;
        if (address < start || address - start >= size)
            continue;
        lpBuffer->BaseAddress = const_cast<void*>(bytes);
        lpBuffer->AllocationBase = const_cast<void*>(ModuleBase());
        lpBuffer->AllocationProtect = PAGE_READONLY;
        lpBuffer->RegionSize = size;
        lpBuffer->State = MEM_COMMIT;
        lpBuffer->Protect = PAGE_READONLY;
        lpBuffer->Type = MEM_IMAGE;
        const int image = id;  // a lambda cannot capture a structured binding in every compiler here
        sim::TraceCall("VirtualQuery", args, [&] { return "image#" + std::to_string(image) + " region"; });
        return sizeof(MEMORY_BASIC_INFORMATION);
    }
    lpBuffer->BaseAddress = reinterpret_cast<void*>(address & ~(PAGE_BYTES - 1));
    lpBuffer->RegionSize = PAGE_BYTES;
    lpBuffer->State = MEM_FREE;
    lpBuffer->Protect = PAGE_NOACCESS;
    sim::TraceCall("VirtualQuery", args, "free");
    return sizeof(MEMORY_BASIC_INFORMATION);
}
