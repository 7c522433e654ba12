// Simulated named mutexes: the updater's own and those that other processes hold.
//
// A named mutex exists while any process has a handle to it. Opening an existing one gives a
// handle without ownership and ERROR_ALREADY_EXISTS; only the thread that owns a mutex can
// release it. Names compare exactly, but for one alias: a name without a namespace prefix lives in
// the session namespace, which "Local\" names explicitly, so "Local\X" and "X" are one mutex while
// "Global\X" is another.
#include <nlohmann/json.hpp>

#include "sim/machine.h"
#include "sim/security.h"
#include "sim/threads.h"

namespace {

// The namespace prefixes a name may start with; any other backslash names an object directory
// that does not exist.
constexpr const char* NAMESPACE_PREFIXES[] = {"Global\\", "Local\\"};
constexpr const char* SESSION_PREFIX = "Local\\";

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

// Whether this process may open an existing mutex: not when its DACL shuts everyone out (the
// scenario's "access": "denied"), nor when it admits SYSTEM and administrators alone and the
// process is no administrator.
bool MayOpen(const sim::MutexObject& obj) {
    return !obj.accessDenied && !(obj.privileged && !sim::ProcessIsAdministrator());
}

// Creates the named mutex, or opens the existing one of that name, for CreateMutexA and
// CreateMutexExA alike: the handle, or null with the last error set.
template <typename Args>
HANDLE CreateOrOpen(const char* call, const Args& args, const SECURITY_ATTRIBUTES* attributes, bool initialOwner,
                    const std::string& name, DWORD access) {
    sim::MutexArea& area = sim::M().mutexes;
    PassOtherProcessesTime();
    auto fail = [&](DWORD error) -> HANDLE {
        SetLastError(error);
        sim::TraceCall(call, args, [&] { return "NULL, error " + std::to_string(error); });
        return nullptr;
    };
    const std::optional<sim::DescriptorFacts> facts =
        sim::ReadDescriptor(attributes != nullptr ? attributes->lpSecurityDescriptor : nullptr);
    if (!facts.has_value())
        return fail(ERROR_INVALID_SECURITY_DESCR);
    if (NamesMissingDirectory(name))
        return fail(ERROR_PATH_NOT_FOUND);

    const int existing = name.empty() ? -1 : FindExisting(name);
    if (existing >= 0) {
        sim::MutexObject& obj = area.objects[static_cast<size_t>(existing)];
        if (!MayOpen(obj))
            return fail(ERROR_ACCESS_DENIED);
        // The existing mutex is opened, never owned: initial ownership applies to new ones only.
        obj.updaterHandles++;
        HANDLE h = sim::NewHandle(sim::HandleKind::Mutex, existing, access);
        SetLastError(ERROR_ALREADY_EXISTS);
        sim::TraceCall(call, args, [&] { return Ptr(h) + ", error 183 (already exists)"; });
        return h;
    }
    // A process names as owner only a group of its own token: here, the administrators' when it
    // is one of them. Without an owner named, an administrator's objects belong to that group.
    if (facts->ownerGiven && !(facts->ownerAdministrators && sim::ProcessIsAdministrator()))
        return fail(ERROR_INVALID_OWNER);

    sim::MutexObject obj;
    obj.name = name;
    obj.createdByUpdater = true;
    obj.ownedByUpdater = initialOwner;
    obj.updaterHandles = 1;
    obj.openToEveryone = facts->daclPresent && facts->daclNull;
    obj.ownerAdministrators = facts->ownerGiven ? facts->ownerAdministrators : sim::ProcessIsAdministrator();
    obj.privileged = facts->daclPresent && !facts->daclNull && facts->daclPrivileged;
    area.objects.push_back(obj);
    HANDLE h = sim::NewHandle(sim::HandleKind::Mutex, static_cast<int>(area.objects.size() - 1), access);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall(call, args, [&] { return Ptr(h) + (obj.ownedByUpdater ? ", owned" : ""); });
    return h;
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
    // Another scanfw.exe, run by an administrator, made its guard as every run does.
    if (m.scenario.otherUpdater) {
        MutexObject guard;
        guard.name = OTHER_UPDATER_GUARD_NAME;
        guard.heldByOther = true;
        guard.ownerAdministrators = true;
        guard.privileged = true;
        m.mutexes.objects.push_back(guard);
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
    // The report's `mutexes` lists every name asked for here, whatever comes of it.
    sim::MutexArea& area = sim::M().mutexes;
    if (lpName != nullptr)
        area.tried[lpName];
    if (injected) {
        sim::TraceCall("CreateMutexA", args, "NULL (injected)");
        return nullptr;
    }
    const std::string name = lpName != nullptr ? lpName : "";
    HANDLE h = CreateOrOpen("CreateMutexA", args, lpMutexAttributes, bInitialOwner != FALSE, name, MUTEX_ALL_ACCESS);
    if (h != nullptr && GetLastError() == ERROR_SUCCESS && !name.empty())
        area.tried[name].created = true;
    return h;
}

// As CreateMutexA, with the rights asked for; a mutex made here is not among the report's
// `mutexes`, which lists the names asked of CreateMutexA.
HANDLE WINAPI CreateMutexExA(LPSECURITY_ATTRIBUTES lpMutexAttributes, LPCSTR lpName, DWORD dwFlags,
                             DWORD dwDesiredAccess) {
    auto args = [&] {
        return Ptr(lpMutexAttributes) + ", " + sim::Quote(lpName) + ", " + sim::Hex(dwFlags) + ", " +
               sim::Hex(dwDesiredAccess);
    };
    const bool injected = sim::Enter("CreateMutexExA", ERROR_ACCESS_DENIED);
    if (injected) {
        if (!sim::ProcessGone())
            sim::TraceCall("CreateMutexExA", args, "NULL (injected)");
        return nullptr;
    }
    if ((dwFlags & ~CREATE_MUTEX_INITIAL_OWNER) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        sim::TraceCall("CreateMutexExA", args, "NULL, error 87");
        return nullptr;
    }
    return CreateOrOpen("CreateMutexExA", args, lpMutexAttributes, (dwFlags & CREATE_MUTEX_INITIAL_OWNER) != 0,
                        lpName != nullptr ? lpName : "", dwDesiredAccess);
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
    if (!MayOpen(obj))
        return fail(ERROR_ACCESS_DENIED);
    obj.updaterHandles++;
    HANDLE h = sim::NewHandle(sim::HandleKind::Mutex, existing, dwDesiredAccess);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("OpenMutexA", args, [&] { return Ptr(h); });
    return h;
}
