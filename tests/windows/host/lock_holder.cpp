// A second process for the lock tests: it plays a scanning application that holds a lock, or
// one that looks at a lock the updater holds.
//
//   host_lock_holder hold NAME READY_EVENT RELEASE_EVENT HOLD_MS
//       creates NAME as a new mutex it owns, sets READY_EVENT, and keeps it until RELEASE_EVENT
//       is set or HOLD_MS have passed; then releases and closes it.
//   host_lock_holder probe NAME WAIT_MS
//       opens NAME and tries to take it for WAIT_MS.
#include "tests/windows/host/lock_holder.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

HANDLE CreateOpenMutex(const char* name, BOOL owner) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    return CreateMutexA(&attributes, owner, name);
}

int Hold(const char* name, const char* readyName, const char* releaseName, DWORD holdMs) {
    HANDLE mutex = CreateOpenMutex(name, TRUE);
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
        return wintest::HOLDER_NOT_NEW;
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyName);
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, releaseName);
    if (ready == nullptr || release == nullptr)
        return wintest::HOLDER_BAD_EVENTS;
    SetEvent(ready);
    WaitForSingleObject(release, holdMs);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    CloseHandle(ready);
    CloseHandle(release);
    return wintest::HOLDER_DONE;
}

int Probe(const char* name, DWORD waitMs) {
    HANDLE mutex = CreateOpenMutex(name, FALSE);
    if (mutex == nullptr)
        return wintest::PROBE_CANNOT_OPEN;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return wintest::PROBE_DID_NOT_EXIST;
    }
    const DWORD result = WaitForSingleObject(mutex, waitMs);
    if (result == WAIT_OBJECT_0)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    switch (result) {
        case WAIT_OBJECT_0:
            return wintest::PROBE_TAKEN;
        case WAIT_TIMEOUT:
            return wintest::PROBE_HELD;
        case WAIT_ABANDONED:
            return wintest::PROBE_ABANDONED;
        default:
            return wintest::PROBE_CANNOT_OPEN;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 6 && std::strcmp(argv[1], "hold") == 0)
        return Hold(argv[2], argv[3], argv[4], static_cast<DWORD>(std::strtoul(argv[5], nullptr, 10)));
    if (argc == 4 && std::strcmp(argv[1], "probe") == 0)
        return Probe(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
    return wintest::HOLDER_USAGE;
}
