// Simulated slim reader/writer locks and condition variables, served by the scheduler: a thread
// that must wait for a lock or a condition gives the turn away, as every other wait does, so no
// interleaving of the updater's threads can hang a run on either clock.
//
// A condition wait of the main thread with a timeout is one of the updater's pauses: it is listed
// in the report's `sleeps` with the milliseconds asked for, whether or not it runs its length.
#include "sim/machine.h"
#include "sim/threads.h"

using sim::M;
using sim::Ptr;

namespace {

constexpr int NO_OWNER = -1;

int OwnerOf(const void* lock) {
    const auto& owners = M().sync.owners;
    auto it = owners.find(lock);
    return it == owners.end() ? NO_OWNER : it->second;
}

// Takes the lock for the calling thread, waiting while another holds it. Returns false, without
// the lock, when the process ended meanwhile.
bool Take(const void* lock) {
    for (;;) {
        const int owner = OwnerOf(lock);
        if (owner == NO_OWNER) {
            M().sync.owners[lock] = sim::ThreadNumber();
            return true;
        }
        // A thread that takes a lock it holds waits for itself for ever, as on Windows; the
        // scheduler ends a process whose every thread waits for ever.
        if (sim::Block(sim::NO_DEADLINE, lock) == sim::WakeReason::ProcessEnded)
            return false;
    }
}

// Frees the lock and lets one thread that waits for it try again.
void Give(const void* lock) {
    M().sync.owners.erase(lock);
    sim::WakeWaiters(lock, true);
}

}  // namespace

void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) {
    sim::Enter("AcquireSRWLockExclusive", ERROR_SUCCESS);
    if (sim::ProcessGone())
        return;
    const bool taken = Take(SRWLock);
    sim::TraceCall(
        "AcquireSRWLockExclusive", [&] { return Ptr(SRWLock); }, taken ? "" : "(the process ended)");
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) {
    sim::Enter("ReleaseSRWLockExclusive", ERROR_SUCCESS);
    if (sim::ProcessGone())
        return;
    // Releasing a lock the thread does not hold is a fault of the caller; it changes nothing here.
    if (OwnerOf(SRWLock) != sim::ThreadNumber()) {
        sim::TraceCall(
            "ReleaseSRWLockExclusive", [&] { return Ptr(SRWLock); }, "not held by this thread");
        return;
    }
    Give(SRWLock);
    sim::TraceCall(
        "ReleaseSRWLockExclusive", [&] { return Ptr(SRWLock); }, "");
}

BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE ConditionVariable, PSRWLOCK SRWLock, DWORD dwMilliseconds,
                                      ULONG Flags) {
    auto args = [&] { return Ptr(ConditionVariable) + ", " + Ptr(SRWLock) + ", " + std::to_string(dwMilliseconds); };
    if (sim::Enter("SleepConditionVariableSRW", ERROR_INVALID_PARAMETER)) {
        sim::TraceCall("SleepConditionVariableSRW", args, "FALSE (injected)");
        return FALSE;
    }
    // Only exclusive waits are modelled, and the caller must hold the lock it gives up.
    if (Flags != 0 || OwnerOf(SRWLock) != sim::ThreadNumber()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        sim::TraceCall("SleepConditionVariableSRW", args, "FALSE, error 87");
        return FALSE;
    }
    if (sim::OnMainThread() && dwMilliseconds != INFINITE)
        M().sleeps.push_back(dwMilliseconds);
    const uint64_t until = dwMilliseconds == INFINITE ? sim::NO_DEADLINE : M().clock.ElapsedMs() + dwMilliseconds;
    Give(SRWLock);
    const sim::WakeReason reason = sim::Block(until, ConditionVariable);
    sim::PauseEnded();
    if (reason == sim::WakeReason::ProcessEnded || !Take(SRWLock)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (reason == sim::WakeReason::Timeout) {
        SetLastError(ERROR_TIMEOUT);
        sim::TraceCall("SleepConditionVariableSRW", args, "FALSE, timed out");
        return FALSE;
    }
    sim::TraceCall("SleepConditionVariableSRW", args, "TRUE, woken");
    return TRUE;
}

void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
    sim::Enter("WakeAllConditionVariable", ERROR_SUCCESS);
    if (sim::ProcessGone())
        return;
    const bool woke = sim::WakeWaiters(ConditionVariable, false);
    sim::TraceCall(
        "WakeAllConditionVariable", [&] { return Ptr(ConditionVariable); },
        woke ? "woke a waiting thread" : "none waiting");
}
