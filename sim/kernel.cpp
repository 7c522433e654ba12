// Simulated kernel32/advapi32 basics: language, last error, clock, events, handles, local memory
// and security descriptors.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "sim/files.h"
#include "sim/machine.h"
#include "sim/pipes.h"
#include "sim/threads.h"

using sim::Bool;
using sim::HandleKind;
using sim::HandleObject;
using sim::M;
using sim::Ptr;

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;

// Every LocalAlloc block not yet freed. A block the updater leaves behind (a failed LocalFree, say)
// belongs to the run's "process": it is freed when the next run boots, or at exit.
class LocalHeap {
public:
    ~LocalHeap() { FreeAll(); }
    void Add(void* p) { blocks_.insert(p); }
    bool Remove(void* p) { return blocks_.erase(p) == 1; }
    void FreeAll() {
        for (void* p : blocks_) std::free(p);
        blocks_.clear();
    }

private:
    std::set<void*> blocks_;
};

LocalHeap& Heap() {
    static LocalHeap heap;
    return heap;
}

}  // namespace

DWORD WINAPI GetLastError(void) {
    return t_lastError;
}
void WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

LANGID WINAPI GetUserDefaultLangID(void) {
    sim::Enter("GetUserDefaultLangID", ERROR_SUCCESS);
    LANGID id = M().scenario.userLangId;
    sim::TraceCall("GetUserDefaultLangID", "", [&] { return sim::Hex(id); });
    return id;
}

DWORD WINAPI GetTickCount(void) {
    sim::Enter("GetTickCount", ERROR_SUCCESS);
    DWORD ticks = M().clock.Ticks();
    sim::TraceCall("GetTickCount", "", [&] { return std::to_string(ticks); });
    return ticks;
}

ULONGLONG WINAPI GetTickCount64(void) {
    sim::Enter("GetTickCount64", ERROR_SUCCESS);
    // The same count as GetTickCount's, without its wrap at 2^32.
    const ULONGLONG ticks = M().clock.Ticks64();
    sim::TraceCall("GetTickCount64", "", [&] { return std::to_string(ticks); });
    return ticks;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (sim::Enter("Sleep", ERROR_SUCCESS))
        return;  // a failed Sleep neither sleeps nor counts
    sim::TraceCall("Sleep", std::to_string(dwMilliseconds), "");
    // The updater's pauses are its main thread's; a handler thread's waits are not among them.
    if (sim::OnMainThread())
        M().sleeps.push_back(dwMilliseconds);
    const uint64_t until = dwMilliseconds == INFINITE ? sim::NO_DEADLINE : M().clock.ElapsedMs() + dwMilliseconds;
    sim::Block(until, nullptr);
    sim::PauseEnded();
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    auto args = [&] {
        return Ptr(lpEventAttributes) + ", " + Bool(bManualReset) + ", " + Bool(bInitialState) + ", " +
               sim::Quote(lpName);
    };
    const bool injected = sim::Enter("CreateEventA", ERROR_NOT_ENOUGH_MEMORY);
    if (injected) {
        sim::TraceCall("CreateEventA", args, "NULL (injected)");
        return nullptr;
    }
    HANDLE h = sim::NewHandle(HandleKind::Event, -1);
    HandleObject* e = sim::FindHandle(h);
    e->manualReset = bManualReset != FALSE;
    e->signalled = bInitialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("CreateEventA", args, [&] { return Ptr(h); });
    return h;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto args = [&] { return Ptr(hHandle) + ", " + std::to_string(dwMilliseconds); };
    const bool injected = sim::Enter("WaitForSingleObject", ERROR_INVALID_HANDLE);
    HandleObject* e = sim::FindHandle(hHandle, HandleKind::Event);
    if (injected) {
        sim::TraceCall("WaitForSingleObject", args, "WAIT_FAILED (injected)");
        return WAIT_FAILED;
    }
    if (e == nullptr) {
        // The updater only ever waits on events.
        SetLastError(ERROR_INVALID_HANDLE);
        sim::TraceCall("WaitForSingleObject", args, "WAIT_FAILED");
        return WAIT_FAILED;
    }
    if (e->signalled) {
        if (!e->manualReset)
            e->signalled = false;
        sim::TraceCall("WaitForSingleObject", args, "WAIT_OBJECT_0");
        return WAIT_OBJECT_0;
    }
    // Only another thread of the updater can signal it. The main thread has none to wait for
    // without end: an infinite wait there would hang the real program, so it is an error here.
    if (dwMilliseconds == INFINITE && sim::OnMainThread()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        sim::TraceCall("WaitForSingleObject", args, "WAIT_FAILED (would wait for ever)");
        return WAIT_FAILED;
    }
    const uint64_t until = dwMilliseconds == INFINITE ? sim::NO_DEADLINE : M().clock.ElapsedMs() + dwMilliseconds;
    switch (sim::Block(until, hHandle)) {
        case sim::WakeReason::Signalled:
            // The signalling thread has already taken an auto-reset event's signal for this one.
            sim::TraceCall("WaitForSingleObject", args, "WAIT_OBJECT_0");
            return WAIT_OBJECT_0;
        case sim::WakeReason::Timeout:
            sim::TraceCall("WaitForSingleObject", args, "WAIT_TIMEOUT");
            return WAIT_TIMEOUT;
        case sim::WakeReason::ProcessEnded:
            break;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

namespace {
// SetEvent and ResetEvent: the same checks, then `change` on the event.
// Inlined, so that the call site journaled is the updater's, as for every other call.
__attribute__((always_inline)) inline BOOL ChangeEvent(const char* call, HANDLE event, void (*change)(HANDLE)) {
    auto args = [&] { return Ptr(event); };
    const bool injected = sim::Enter(call, ERROR_INVALID_HANDLE);
    if (injected) {
        sim::TraceCall(call, args, "FALSE (injected)");
        return FALSE;
    }
    if (sim::FindHandle(event, HandleKind::Event) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        sim::TraceCall(call, args, "FALSE, error 6");
        return FALSE;
    }
    change(event);
    sim::TraceCall(call, args, "TRUE");
    return TRUE;
}
}  // namespace

BOOL WINAPI SetEvent(HANDLE hEvent) {
    return ChangeEvent("SetEvent", hEvent, sim::SignalEvent);
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    return ChangeEvent("ResetEvent", hEvent, sim::ResetEventObject);
}

namespace {
// Closes a kernel handle of this process; false for anything else. Registry keys, service handles,
// modules, hash objects and file searches are not kernel handles.
bool CloseKernelHandle(HANDLE handle) {
    HandleObject* obj = sim::FindHandle(handle);
    if (obj == nullptr || obj->kind == HandleKind::Key || obj->kind == HandleKind::Manager ||
        obj->kind == HandleKind::Service || obj->kind == HandleKind::Module || obj->kind == HandleKind::Hash ||
        obj->kind == HandleKind::Find)
        return false;
    if (obj->kind == HandleKind::Mutex)
        sim::CloseMutexHandle(obj->ref);
    if (obj->kind == HandleKind::Pipe)
        sim::ClosePipeEnd(*obj);
    if (obj->kind == HandleKind::File)
        sim::CloseOnDisk(*obj);
    sim::DropHandle(handle);
    return true;
}

// What GetCurrentProcess returns on Windows: a pseudo-handle that every process reads as itself.
const HANDLE CURRENT_PROCESS = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}  // namespace

BOOL WINAPI CloseHandle(HANDLE hObject) {
    auto args = [&] { return Ptr(hObject); };
    if (sim::Enter("CloseHandle", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("CloseHandle", args, "FALSE (injected)");
        return FALSE;
    }
    if (!CloseKernelHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        sim::TraceCall("CloseHandle", args, "FALSE");
        return FALSE;
    }
    sim::TraceCall("CloseHandle", args, "TRUE");
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) {
    sim::Enter("GetCurrentProcess", ERROR_SUCCESS);
    sim::TraceCall("GetCurrentProcess", "", "the current process");
    return CURRENT_PROCESS;
}

// Only what closes a handle of this process is modelled: a duplicate into a process is not. As on
// Windows, DUPLICATE_CLOSE_SOURCE closes the source handle whatever the call returns, an injected
// failure included.
BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            PHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions) {
    auto args = [&] {
        return std::string(hSourceProcessHandle == CURRENT_PROCESS ? "the current process"
                                                                   : Ptr(hSourceProcessHandle)) +
               ", " + Ptr(hSourceHandle) + ", " + Ptr(hTargetProcessHandle) + ", " + Ptr(lpTargetHandle) + ", " +
               sim::Hex(dwDesiredAccess) + ", " + Bool(bInheritHandle) + ", " + sim::Hex(dwOptions);
    };
    const bool injected = sim::Enter("DuplicateHandle", ERROR_INVALID_HANDLE);
    const bool closeSource = (dwOptions & DUPLICATE_CLOSE_SOURCE) != 0 && hSourceProcessHandle == CURRENT_PROCESS;
    const bool closed = closeSource && !sim::ProcessGone() && CloseKernelHandle(hSourceHandle);
    if (injected) {
        sim::TraceCall("DuplicateHandle", args,
                       [&] { return std::string("FALSE (injected)") + (closed ? ", closed" : ""); });
        return FALSE;
    }
    DWORD error = ERROR_SUCCESS;
    if (hSourceProcessHandle != CURRENT_PROCESS)
        error = ERROR_INVALID_HANDLE;
    else if (!closeSource || hTargetProcessHandle != nullptr || lpTargetHandle != nullptr)
        error = ERROR_INVALID_PARAMETER;  // a duplicate is not modelled
    else if (!closed)
        error = ERROR_INVALID_HANDLE;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("DuplicateHandle", args,
                       [&] { return "FALSE, error " + std::to_string(error) + (closed ? ", closed" : ""); });
        return FALSE;
    }
    sim::TraceCall("DuplicateHandle", args, "TRUE, closed");
    return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    auto args = [&] { return sim::Hex(uFlags) + ", " + std::to_string(uBytes); };
    if (sim::Enter("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY)) {
        sim::TraceCall("LocalAlloc", args, "NULL (injected)");
        return nullptr;
    }
    // A fixed block; its content is left undefined unless zeroing was asked for, as on Windows.
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
    if (p == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Heap().Add(p);
    M().localBlocks++;
    // A fresh block, even at an address a freed one had.
    sim::NameAs(p, [] { return "memory#" + std::to_string(++M().nameCounts["memory"]); });
    sim::TraceCall("LocalAlloc", args, [&] { return Ptr(p); });
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    auto args = [&] { return Ptr(hMem); };
    if (sim::Enter("LocalFree", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("LocalFree", args, [&] { return args() + " (injected)"; });
        return hMem;
    }
    if (hMem != nullptr) {
        // Windows refuses a pointer it did not hand out; freeing it here would corrupt the heap.
        if (!Heap().Remove(hMem)) {
            SetLastError(ERROR_INVALID_HANDLE);
            sim::TraceCall("LocalFree", args, [&] { return args() + ", error 6"; });
            return hMem;
        }
        std::free(hMem);
        M().localBlocks--;
    }
    sim::TraceCall("LocalFree", args, "NULL");
    return nullptr;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    auto args = [&] { return Ptr(pSecurityDescriptor) + ", " + std::to_string(dwRevision); };
    if (sim::Enter("InitializeSecurityDescriptor", ERROR_INVALID_PARAMETER)) {
        sim::TraceCall("InitializeSecurityDescriptor", args, "FALSE (injected)");
        return FALSE;
    }
    if (pSecurityDescriptor == nullptr || dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(pSecurityDescriptor == nullptr ? ERROR_INVALID_PARAMETER : 1305 /* unknown revision */);
        sim::TraceCall("InitializeSecurityDescriptor", args, "FALSE");
        return FALSE;
    }
    std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    pSecurityDescriptor->Revision = static_cast<BYTE>(dwRevision);
    sim::TraceCall("InitializeSecurityDescriptor", args, "TRUE");
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
    auto args = [&] {
        return Ptr(pSecurityDescriptor) + ", " + Bool(bDaclPresent) + ", " + Ptr(pDacl) + ", " + Bool(bDaclDefaulted);
    };
    if (sim::Enter("SetSecurityDescriptorDacl", ERROR_INVALID_PARAMETER)) {
        sim::TraceCall("SetSecurityDescriptorDacl", args, "FALSE (injected)");
        return FALSE;
    }
    if (pSecurityDescriptor == nullptr || pSecurityDescriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(1338 /* invalid security descriptor */);
        sim::TraceCall("SetSecurityDescriptorDacl", args, "FALSE");
        return FALSE;
    }
    pSecurityDescriptor->Control =
        static_cast<WORD>((pSecurityDescriptor->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED)) |
                          (bDaclPresent ? SE_DACL_PRESENT : 0) | (bDaclDefaulted ? SE_DACL_DEFAULTED : 0));
    pSecurityDescriptor->Dacl = pDacl;
    sim::TraceCall("SetSecurityDescriptorDacl", args, "TRUE");
    return TRUE;
}

namespace sim {
void FreeLeftoverLocalBlocks() {
    Heap().FreeAll();
}
}  // namespace sim

namespace {
// The Windows the simulated host is: Windows 10 22H2, as a program with a manifest that declares
// Windows 10 support is told.
constexpr DWORD SIM_MAJOR_VERSION = 10;
constexpr DWORD SIM_MINOR_VERSION = 0;
constexpr DWORD SIM_BUILD_NUMBER = 19045;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
// The simulated wall clock: midnight UTC on 1 January 2026 at the start of every run, so that two
// runs of one scenario tell the same time.
constexpr WORD SIM_START_YEAR = 2026;
constexpr WORD SIM_START_DAY_OF_WEEK = 4;  // a Thursday
constexpr uint64_t MS_PER_SECOND = 1000, SECONDS_PER_MINUTE = 60, MINUTES_PER_HOUR = 60, HOURS_PER_DAY = 24;
constexpr uint64_t DAYS_PER_WEEK = 7;
constexpr uint64_t DAYS_IN_JANUARY = 31;
}  // namespace

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    auto args = [&] { return Ptr(lpVersionInformation); };
    if (sim::Enter("GetVersionExA", ERROR_INSUFFICIENT_BUFFER)) {
        sim::TraceCall("GetVersionExA", args, "FALSE (injected)");
        return FALSE;
    }
    if (lpVersionInformation == nullptr || lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        sim::TraceCall("GetVersionExA", args, "FALSE, error 122");
        return FALSE;
    }
    lpVersionInformation->dwMajorVersion = SIM_MAJOR_VERSION;
    lpVersionInformation->dwMinorVersion = SIM_MINOR_VERSION;
    lpVersionInformation->dwBuildNumber = SIM_BUILD_NUMBER;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    sim::TraceCall("GetVersionExA", args, "TRUE, 10.0.19045");
    return TRUE;
}

void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    sim::Enter("GetSystemTime", ERROR_SUCCESS);
    if (lpSystemTime == nullptr)
        return;
    // Runs are far shorter than January: only the day within it and the time of day move.
    const uint64_t ms = M().clock.ElapsedMs();
    const uint64_t seconds = ms / MS_PER_SECOND;
    const uint64_t minutes = seconds / SECONDS_PER_MINUTE;
    const uint64_t hours = minutes / MINUTES_PER_HOUR;
    const uint64_t days = std::min<uint64_t>(hours / HOURS_PER_DAY, DAYS_IN_JANUARY - 1);
    lpSystemTime->wYear = SIM_START_YEAR;
    lpSystemTime->wMonth = 1;
    lpSystemTime->wDay = static_cast<WORD>(1 + days);
    lpSystemTime->wDayOfWeek = static_cast<WORD>((SIM_START_DAY_OF_WEEK + days) % DAYS_PER_WEEK);
    lpSystemTime->wHour = static_cast<WORD>(hours % HOURS_PER_DAY);
    lpSystemTime->wMinute = static_cast<WORD>(minutes % MINUTES_PER_HOUR);
    lpSystemTime->wSecond = static_cast<WORD>(seconds % SECONDS_PER_MINUTE);
    lpSystemTime->wMilliseconds = static_cast<WORD>(ms % MS_PER_SECOND);
    sim::TraceCall("GetSystemTime", Ptr(lpSystemTime), "");
}
