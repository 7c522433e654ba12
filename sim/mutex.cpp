// Simulated named mutexes: the updater's own and those that other processes hold.
//
// A named mutex exists while any process has a handle to it. Opening an existing one gives a
// handle without ownership and ERROR_ALREADY_EXISTS; only the thread that owns a mutex can
// release it. Names compare exactly, but for one alias: a name without a namespace prefix lives in
// the session namespace, which "Local\" names explicitly, so "Local\X" and "X" are one mutex while
// "Global\X" is another.
#include <nlohmann/json.hpp>

#include "sim/machine.h"
#include "sim/threads.h"

namespace {

// The namespace prefixes a name may start with; any other backslash names an object directory
// that does not exist.
constexpr const char* NAMESPACE_PREFIXES[] = {"Global\\", "Local\\"};
constexpr const char* SESSION_PREFIX = "Local\\";
constexpr WORD SE_DACL_PRESENT = 0x0004;

using sim::Ptr;

bool NamesMissingDirectory(const std::string& name) {
    size_t start = 0;
    for (const char* prefix : NAMESPACE_PREFIXES) {
        const std::string p = prefix;
        if (name.compare(0, p.size(), p) == 0)
            start = p.size();
    }
    return name.find('\\', start) != std::string::npos;
}

// Lets the other processes that close their handle at a set time do so.
void PassOtherProcessesTime() {
    const uint64_t now = sim::M().clock.ElapsedMs();
    for (sim::MutexObject& m : sim::M().mutexes.objects) {
        if (!m.heldByOther || !m.otherCloses || now < m.otherClosesAtMs)
            continue;
        m.heldByOther = false;
        if (m.updaterHandles == 0)
            m.exists = false;
    }
}

// The name in the session namespace, without the "Local\" that may spell it out.
std::string SessionName(const std::string& name) {
    const std::string prefix = SESSION_PREFIX;
    return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
}

int FindExisting(const std::string& name) {
    const auto& objects = sim::M().mutexes.objects;
    for (size_t id = 0; id < objects.size(); ++id)
        if (objects[id].exists && SessionName(objects[id].name) == SessionName(name))
            return static_cast<int>(id);
    return -1;
}

bool HasNullDacl(const SECURITY_ATTRIBUTES* attributes) {
    if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr)
        return false;
    const auto* descriptor = static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
    return (descriptor->Control & SE_DACL_PRESENT) != 0 && descriptor->Dacl == nullptr;
}

}  // namespace

namespace sim {

void BootMutexes(Machine& m) {
    m.mutexes = MutexArea{};
    for (const MutexSpec& given : m.scenario.mutexes) {
        MutexObject obj;
        obj.name = given.name;
        obj.heldByOther = true;
        obj.otherCloses = given.releaseAfterMs.has_value();
        obj.otherClosesAtMs = given.releaseAfterMs.value_or(0);
        obj.accessDenied = given.accessDenied;
        m.mutexes.objects.push_back(obj);
    }
}

void ReportMutexes(const Machine& m, nlohmann::json& report) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [name, tried] : m.mutexes.tried) {
        bool owned = false;
        for (const MutexObject& obj : m.mutexes.objects)
            if (obj.name == name && obj.ownedByUpdater)
                owned = true;
        out[name] = {{"created", tried.created}, {"ownedAtExit", owned}};
    }
    report["mutexes"] = out;
}

void CloseMutexHandle(int id) {
    MutexObject& obj = M().mutexes.objects.at(static_cast<size_t>(id));
    obj.updaterHandles--;
    PassOtherProcessesTime();
    // Ownership belongs to the thread and outlives the handle, but the name goes with the
    // last handle.
    if (obj.updaterHandles == 0 && !obj.heldByOther)
        obj.exists = false;
}

}  // namespace sim

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    auto args = [&] {
        return Ptr(lpMutexAttributes) + ", " + (bInitialOwner ? "TRUE" : "FALSE") + ", " + sim::Quote(lpName);
    };
    const bool injected = sim::Enter("CreateMutexA", ERROR_ACCESS_DENIED);
    if (injected && sim::ProcessGone())
        return nullptr;
    sim::MutexArea& area = sim::M().mutexes;
    if (lpName != nullptr)
        area.tried[lpName];  // tried, whatever comes of it
    if (injected) {
        sim::TraceCall("CreateMutexA", args, "NULL (injected)");
        return nullptr;
    }
    PassOtherProcessesTime();
    auto fail = [&args](DWORD error) -> HANDLE {
        SetLastError(error);
        sim::TraceCall("CreateMutexA", args, [&] { return "NULL, error " + std::to_string(error); });
        return nullptr;
    };
    if (lpMutexAttributes != nullptr && lpMutexAttributes->lpSecurityDescriptor != nullptr &&
        static_cast<const SECURITY_DESCRIPTOR*>(lpMutexAttributes->lpSecurityDescriptor)->Revision !=
            SECURITY_DESCRIPTOR_REVISION)
        return fail(1338 /* invalid security descriptor */);
    const std::string name = lpName != nullptr ? lpName : "";
    if (NamesMissingDirectory(name))
        return fail(ERROR_PATH_NOT_FOUND);

    const int existing = name.empty() ? -1 : FindExisting(name);
    if (existing >= 0) {
        sim::MutexObject& obj = area.objects[static_cast<size_t>(existing)];
        if (obj.accessDenied)
            return fail(ERROR_ACCESS_DENIED);
        // The existing mutex is opened, never owned: initial ownership applies to new ones only.
        obj.updaterHandles++;
        HANDLE h = sim::NewHandle(sim::HandleKind::Mutex, existing);
        SetLastError(ERROR_ALREADY_EXISTS);
        sim::TraceCall("CreateMutexA", args, [&] { return Ptr(h) + ", error 183 (already exists)"; });
        return h;
    }

    sim::MutexObject obj;
    obj.name = name;
    obj.createdByUpdater = true;
    obj.ownedByUpdater = bInitialOwner != FALSE;
    obj.updaterHandles = 1;
    obj.openToEveryone = HasNullDacl(lpMutexAttributes);
    area.objects.push_back(obj);
    if (!name.empty())
        area.tried[name].created = true;
    HANDLE h = sim::NewHandle(sim::HandleKind::Mutex, static_cast<int>(area.objects.size() - 1));
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("CreateMutexA", args, [&] { return Ptr(h) + (obj.ownedByUpdater ? ", owned" : ""); });
    return h;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto args = [&] { return Ptr(hMutex); };
    if (sim::Enter("ReleaseMutex", ERROR_NOT_OWNER)) {
        sim::TraceCall("ReleaseMutex", args, "FALSE (injected)");
        return FALSE;
    }
    const sim::HandleObject* h = sim::FindHandle(hMutex, sim::HandleKind::Mutex);
    DWORD error = ERROR_SUCCESS;
    if (h == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (!sim::M().mutexes.objects.at(static_cast<size_t>(h->ref)).ownedByUpdater)
        error = ERROR_NOT_OWNER;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("ReleaseMutex", args, [&] { return "FALSE, error " + std::to_string(error); });
        return FALSE;
    }
    sim::M().mutexes.objects.at(static_cast<size_t>(h->ref)).ownedByUpdater = false;
    sim::TraceCall("ReleaseMutex", args, "TRUE");
    return TRUE;
}

// Opens an existing named mutex without owning it; never creates one.
HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    auto args = [&] {
        return sim::Hex(dwDesiredAccess) + ", " + (bInheritHandle ? "TRUE" : "FALSE") + ", " + sim::Quote(lpName);
    };
    if (sim::Enter("OpenMutexA", ERROR_FILE_NOT_FOUND)) {
        sim::TraceCall("OpenMutexA", args, "NULL (injected)");
        return nullptr;
    }
    PassOtherProcessesTime();
    auto fail = [&args](DWORD error) -> HANDLE {
        SetLastError(error);
        sim::TraceCall("OpenMutexA", args, [&] { return "NULL, error " + std::to_string(error); });
        return nullptr;
    };
    if (lpName == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    const std::string name = lpName;
    if (NamesMissingDirectory(name))
        return fail(ERROR_PATH_NOT_FOUND);
    const int existing = name.empty() ? -1 : FindExisting(name);
    if (existing < 0)
        return fail(ERROR_FILE_NOT_FOUND);
    sim::MutexObject& obj = sim::M().mutexes.objects[static_cast<size_t>(existing)];
    if (obj.accessDenied)
        return fail(ERROR_ACCESS_DENIED);
    obj.updaterHandles++;
    HANDLE h = sim::NewHandle(sim::HandleKind::Mutex, existing);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("OpenMutexA", args, [&] { return Ptr(h); });
    return h;
}
