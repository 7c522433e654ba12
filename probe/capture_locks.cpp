// The two application locks: which of them another program holds now. The first one's name comes
// from the FriendlyName of the registry entry that the updater itself would pick for the scanner.
// A lock is only ever opened, never created.
#include <cstdio>

#include "app/entry.h"
#include "host/app_lock.h"
#include "probe/capture.h"

namespace {

constexpr const char* STEP = "mutexes";

// Adds the lock to `mutexes` when it exists.
void CheckLock(Capture& capture, const std::string& name, JsonValue& mutexes, JsonValue& seen) {
    JsonValue record = JsonObject();
    Add(record, "name", JsonString(name));
    // The access the updater's CreateMutexA asks for when the lock exists: a lock that others may
    // only wait on is one the updater is denied. Opening it owns nothing and changes nothing.
    HANDLE lock = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
    const DWORD error = lock == nullptr ? GetLastError() : ERROR_SUCCESS;
    if (lock != nullptr && !CloseHandle(lock))
        Note(capture, STEP, "CloseHandle", name, GetLastError());
    Add(record, "openError", JsonNumber(error));
    Append(seen, std::move(record));
    if (error == ERROR_FILE_NOT_FOUND)
        return;
    if (error != ERROR_SUCCESS && error != ERROR_ACCESS_DENIED) {
        Note(capture, STEP, "OpenMutexA", name, error);
        return;
    }
    // A scenario file is UTF-8: a name in another code page cannot be replayed as it is.
    if (!IsUtf8(name)) {
        Note(capture, STEP, "OpenMutexA", "a name that is not UTF-8 is not replayed: " + name, error);
        return;
    }
    JsonValue mutex = JsonObject();
    Add(mutex, "name", JsonString(name));
    if (error == ERROR_ACCESS_DENIED)
        Add(mutex, "access", JsonString("denied"));
    Append(mutexes, std::move(mutex));
}

}  // namespace

void CaptureLocks(Capture& capture, const std::string& scannerName) {
    JsonValue mutexes = JsonArray();
    JsonValue seen = JsonArray();
    if (scannerName.empty()) {
        // The updater stops before it looks for a name: there is no first lock to check.
        Add(capture.probe, "friendlyName", JsonValue{});
    } else {
        std::snprintf(g_devicePath, sizeof g_devicePath, "%s", scannerName.c_str());
        g_friendlyName[0] = '\0';
        bool keyAccessDenied = false;
        const bool found = FindFriendlyName(&keyAccessDenied) != 0;
        Add(capture.probe, "friendlyName", found ? JsonString(g_friendlyName) : JsonValue{});
        if (keyAccessDenied)
            Add(capture.probe, "instanceKeyDenied", JsonBool(true));
        char name[LOCK_NAME_SIZE];
        if (found && FormScanAppLockName(name))
            CheckLock(capture, name, mutexes, seen);
    }
    CheckLock(capture, SECOND_APP_LOCK_NAME, mutexes, seen);
    Add(capture.scenario, "mutexes", std::move(mutexes));
    Add(capture.probe, "locks", std::move(seen));
}
