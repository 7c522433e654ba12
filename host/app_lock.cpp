#include "host/app_lock.h"

#include <cstdio>

#include "pause/pause.h"

HANDLE g_scanAppLock = INVALID_HANDLE_VALUE;
HANDLE g_secondAppLock = INVALID_HANDLE_VALUE;

namespace {

constexpr int LOCK_ATTEMPTS = 3;
constexpr DWORD LOCK_RETRY_PAUSE_MS = 1000;

// Creates the named mutex as a new one owned by this thread and keeps it in `slot`.
int TakeApplicationLock(const char* name, HANDLE& slot) {
    // A null DACL: the applications of every user may open the lock. The first lock's name is
    // in the namespace all logon sessions share; the second's, in the updater's own session.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = TRUE;

    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        HANDLE mutex = CreateMutexA(&attributes, TRUE, name);
        const DWORD error = GetLastError();
        if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
            if (slot != INVALID_HANDLE_VALUE)
                ReleaseMutex(slot);
            slot = mutex;
            return 1;
        }
        // Someone else has the lock: this handle owns nothing and must not keep it alive.
        if (mutex != nullptr)
            CloseHandle(mutex);
        // A cancel ends the attempts: the update will not go on.
        if (!Pause(LOCK_RETRY_PAUSE_MS))
            break;
    }
    return 0;
}

}  // namespace

int LockScanApplication() {
    char name[LOCK_NAME_SIZE];
    if (!FormScanAppLockName(name))
        return 0;
    return TakeApplicationLock(name, g_scanAppLock);
}

int LockSecondApplication() {
    char name[LOCK_NAME_SIZE];
    std::snprintf(name, sizeof name, "%s", SECOND_APP_LOCK_NAME);
    return TakeApplicationLock(name, g_secondAppLock);
}

void ReleaseApplicationLocks() {
    // In the order of taking; the handles stay open so each mutex lives until the process ends.
    if (g_scanAppLock != INVALID_HANDLE_VALUE) {
        ReleaseMutex(g_scanAppLock);
        g_scanAppLock = INVALID_HANDLE_VALUE;
    }
    if (g_secondAppLock != INVALID_HANDLE_VALUE) {
        ReleaseMutex(g_secondAppLock);
        g_secondAppLock = INVALID_HANDLE_VALUE;
    }
}
