// Simulated processes (sim/programs.h says how a started program runs): the running program's own
// file and name, starting the one program the scenario's run knows, waiting for it and reading
// its exit code.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "sim/machine.h"
#include "sim/pipes.h"
#include "sim/threads.h"

using sim::Bool;
using sim::HandleKind;
using sim::HandleObject;
using sim::M;
using sim::Ptr;
using sim::Refuse;

namespace {

constexpr DWORD RUNNING_PROCESS_ID = 0x2B40;
constexpr DWORD CHILD_PROCESS_ID = 0x2B48;
constexpr DWORD CHILD_THREAD_ID = 0x2B4C;
constexpr const char* COMPUTER_NAME = "SCANFW-SIM";

bool HostFileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The process object of a process handle, or null.
sim::ProcessObject* ProcessOf(HANDLE h) {
    const HandleObject* obj = sim::FindHandle(h, HandleKind::Process);
    return obj == nullptr ? nullptr : &M().launches.processes[static_cast<size_t>(obj->ref)];
}

}  // namespace

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    auto args = [&] { return Ptr(hModule) + ", " + Ptr(lpFilename) + ", " + std::to_string(nSize); };
    if (sim::Enter("GetModuleFileNameA", ERROR_INSUFFICIENT_BUFFER)) {
        sim::TraceCall("GetModuleFileNameA", args, "0 (injected)");
        return 0;
    }
    const std::string& path = M().options.program.modulePath;
    // Only the running program's own module is known here.
    if (hModule != nullptr || path.empty() || lpFilename == nullptr || nSize == 0) {
        SetLastError(hModule != nullptr || path.empty() ? ERROR_MOD_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
        sim::TraceCall("GetModuleFileNameA", args, "0");
        return 0;
    }
    // Too small a buffer gets the path cut to fit, with its zero, and the error.
    const DWORD copied = std::min<DWORD>(static_cast<DWORD>(path.size()), nSize - 1);
    std::memcpy(lpFilename, path.data(), copied);
    lpFilename[copied] = '\0';
    const bool whole = copied == path.size();
    SetLastError(whole ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER);
    sim::TraceCall("GetModuleFileNameA", args, [&] { return std::to_string(whole ? copied : nSize) + ", " + path; });
    return whole ? copied : nSize;
}

BOOL WINAPI GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
    auto args = [&] { return Ptr(lpBuffer); };
    if (sim::Enter("GetComputerNameA", ERROR_BUFFER_OVERFLOW)) {
        sim::TraceCall("GetComputerNameA", args, "FALSE (injected)");
        return FALSE;
    }
    const DWORD length = static_cast<DWORD>(std::strlen(COMPUTER_NAME));
    if (nSize == nullptr || lpBuffer == nullptr || *nSize <= length) {
        if (nSize != nullptr)
            *nSize = length + 1;
        return Refuse("GetComputerNameA", args, ERROR_BUFFER_OVERFLOW);
    }
    std::memcpy(lpBuffer, COMPUTER_NAME, length + 1);
    *nSize = length;
    sim::TraceCall("GetComputerNameA", args, [] { return std::string("TRUE, ") + COMPUTER_NAME; });
    return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) {
    sim::Enter("GetCurrentProcessId", ERROR_SUCCESS);
    sim::TraceCall("GetCurrentProcessId", "", [] { return std::to_string(RUNNING_PROCESS_ID); });
    return RUNNING_PROCESS_ID;
}

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                           LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    auto args = [&] {
        return sim::Quote(lpApplicationName) + ", " + sim::Quote(lpCommandLine) + ", " + Ptr(lpProcessAttributes) +
               ", " + Ptr(lpThreadAttributes) + ", " + Bool(bInheritHandles) + ", " + sim::Hex(dwCreationFlags) + ", " +
               Ptr(lpEnvironment) + ", " + sim::Quote(lpCurrentDirectory) + ", " + Ptr(lpStartupInfo);
    };
    if (sim::Enter("CreateProcessA", ERROR_FILE_NOT_FOUND)) {
        sim::TraceCall("CreateProcessA", args, "FALSE (injected)");
        return FALSE;
    }
    if (lpStartupInfo == nullptr || lpStartupInfo->cb != sizeof(STARTUPINFOA) || lpProcessInformation == nullptr)
        return Refuse("CreateProcessA", args, ERROR_INVALID_PARAMETER);
    // The only program this PC can start is the one run beforehand, from its own file.
    const std::optional<sim::ChildProgram>& child = M().options.program.child;
    if (lpApplicationName == nullptr || !child.has_value() || child->path != lpApplicationName ||
        !HostFileExists(child->path))
        return Refuse("CreateProcessA", args, ERROR_FILE_NOT_FOUND);

    sim::Machine& m = M();
    const uint64_t now = m.clock.ElapsedMs();
    m.launches.processes.push_back({now + child->endMs, child->exitCode});
    m.launches.commandLines.push_back(lpCommandLine != nullptr ? lpCommandLine : lpApplicationName);
    const int ref = static_cast<int>(m.launches.processes.size() - 1);
    // Its standard output reaches the pipe only as an inherited handle, as on Windows.
    if ((lpStartupInfo->dwFlags & STARTF_USESTDHANDLES) != 0 && bInheritHandles) {
        const HandleObject* out = sim::FindHandle(lpStartupInfo->hStdOutput, HandleKind::Pipe);
        if (out != nullptr && out->inheritable)
            sim::ConnectChild(*out, now, *child);
    }
    lpProcessInformation->hProcess = sim::NewHandle(HandleKind::Process, ref);
    lpProcessInformation->hThread = sim::NewHandle(HandleKind::Thread, ref);
    lpProcessInformation->dwProcessId = CHILD_PROCESS_ID;
    lpProcessInformation->dwThreadId = CHILD_THREAD_ID;
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("CreateProcessA", args, [&] {
        return "TRUE, " + Ptr(lpProcessInformation->hProcess) + ", " + Ptr(lpProcessInformation->hThread);
    });
    return TRUE;
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    auto args = [&] { return Ptr(hHandle) + ", " + std::to_string(dwMilliseconds) + ", " + Bool(bAlertable); };
    if (sim::Enter("WaitForSingleObjectEx", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("WaitForSingleObjectEx", args, "WAIT_FAILED (injected)");
        return WAIT_FAILED;
    }
    // The deploy waits only for the program it started.
    const sim::ProcessObject* process = ProcessOf(hHandle);
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        sim::TraceCall("WaitForSingleObjectEx", args, "WAIT_FAILED");
        return WAIT_FAILED;
    }
    const uint64_t deadline = dwMilliseconds == INFINITE ? sim::NO_DEADLINE : M().clock.ElapsedMs() + dwMilliseconds;
    const DWORD woke = sim::AlertableWait(deadline, process->endMs, bAlertable != FALSE);
    if (woke == WAIT_FAILED)
        SetLastError(ERROR_INVALID_HANDLE);
    sim::TraceCall("WaitForSingleObjectEx", args, [&] {
        return woke == WAIT_OBJECT_0        ? "WAIT_OBJECT_0"
               : woke == WAIT_TIMEOUT       ? "WAIT_TIMEOUT"
               : woke == WAIT_IO_COMPLETION ? "WAIT_IO_COMPLETION"
                                            : "WAIT_FAILED";
    });
    return woke;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    auto args = [&] { return Ptr(hProcess); };
    if (sim::Enter("GetExitCodeProcess", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("GetExitCodeProcess", args, "FALSE (injected)");
        return FALSE;
    }
    const sim::ProcessObject* process = ProcessOf(hProcess);
    if (process == nullptr || lpExitCode == nullptr)
        return Refuse("GetExitCodeProcess", args, process == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    *lpExitCode = M().clock.ElapsedMs() >= process->endMs ? process->exitCode : STILL_ACTIVE;
    sim::TraceCall("GetExitCodeProcess", args, [&] { return "TRUE, " + std::to_string(*lpExitCode); });
    return TRUE;
}
