#include "pause/pause.h"

namespace {

SRWLOCK g_requestsLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_pauseWake = CONDITION_VARIABLE_INIT;
ConsoleRequests g_requests;

}  // namespace

namespace pause_detail {

void LockRequests() {
    AcquireSRWLockExclusive(&g_requestsLock);
}

void UnlockRequests() {
    ReleaseSRWLockExclusive(&g_requestsLock);
}

ConsoleRequests& Requests() {
    return g_requests;
}

}  // namespace pause_detail

bool RequestDue(const ConsoleRequests& requests) {
    return (requests.stage == UpdateStage::Cancellable && requests.cancelled) ||
           (requests.closing && !requests.closeAnswered);
}

void WakePause() {
    WakeAllConditionVariable(&g_pauseWake);
}

bool Pause(DWORD milliseconds) {
    AcquireSRWLockExclusive(&g_requestsLock);
    // The tick count of 64 bits: no wrap to care about, and no call that scenario files number.
    const ULONGLONG start = GetTickCount64();
    ULONGLONG left = milliseconds;
    bool sleepTheRest = false;
    while (!RequestDue(g_requests) && left > 0) {
        const BOOL woken = SleepConditionVariableSRW(&g_pauseWake, &g_requestsLock, static_cast<DWORD>(left), 0);
        const ULONGLONG elapsed = GetTickCount64() - start;
        left = elapsed < milliseconds ? milliseconds - elapsed : 0;
        // Not woken: the wait timed out, or could not be made at all. Time left after that is not
        // left to the condition variable again; it is slept, so that the pause surely passes.
        if (!woken) {
            sleepTheRest = left > 0;
            break;
        }
    }
    const bool ranItsLength = !RequestDue(g_requests);
    ReleaseSRWLockExclusive(&g_requestsLock);
    if (sleepTheRest && ranItsLength)
        Sleep(static_cast<DWORD>(left));
    return ranItsLength;
}
