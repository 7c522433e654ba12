// The simulated functions that a scenario's failures member may make fail.
#include <algorithm>

#include "sim/scenario.h"

namespace sim {

const std::vector<std::string>& FailableCalls() {
    // GetLastError, SetLastError, GetTickCount, GetUserDefaultLangID, GetCurrentProcess, IsWellKnownSid,
    // SleepEx and GetCurrentProcessId cannot fail on Windows.
    static const std::vector<std::string> calls = {
        "CreateFileA",
        "DeviceIoControl",
        "CloseHandle",
        "WriteFile",
        "ReadFile",
        "GetOverlappedResult",
        "CreateEventA",
        "WaitForSingleObject",
        "Sleep",
        "OpenSCManagerA",
        "OpenServiceA",
        "QueryServiceStatus",
        "ControlService",
        "QueryServiceConfigA",
        "ChangeServiceConfigA",
        "StartServiceA",
        "CloseServiceHandle",
        "LocalAlloc",
        "LocalFree",
        "RegOpenKeyExA",
        "RegQueryValueExA",
        "RegCloseKey",
        "InitializeSecurityDescriptor",
        "SetSecurityDescriptorDacl",
        "CreateMutexA",
        "ReleaseMutex",
        "FindResourceA",
        "LoadResource",
        "LockResource",
        "SizeofResource",
        "SetEvent",
        "ResetEvent",
        "SetConsoleCtrlHandler",
        "GetConsoleProcessList",
        "GetStdHandle",
        "GetConsoleMode",
        "FlushConsoleInputBuffer",
        "ReadConsoleInputA",
        "SetThreadExecutionState",
        "SleepConditionVariableSRW",
        // What the probe calls besides.
        "RegEnumKeyExA",
        "OpenMutexA",
        "GetVersionExA",
        "LoadLibraryExA",
        "FreeLibrary",
        "EnumResourceNamesA",
        "BCryptOpenAlgorithmProvider",
        "BCryptCreateHash",
        "BCryptHashData",
        "BCryptFinishHash",
        "BCryptDestroyHash",
        "BCryptCloseAlgorithmProvider",
        // Hashing through advapi32: the updater's image check and the probe.
        "CryptAcquireContextA",
        "CryptCreateHash",
        "CryptHashData",
        "CryptGetHashParam",
        "CryptDestroyHash",
        "CryptReleaseContext",
        // Where DLLs are loaded from: the first call of each program.
        "SetDefaultDllDirectories",
        // The probe's look at its --exe file and the writing of its capture file.
        "VirtualQuery",
        "GetFullPathNameA",
        "GetFileAttributesExA",
        "GetFileType",
        "GetTempFileNameA",
        "FlushFileBuffers",
        "MoveFileExA",
        // What the deploy calls besides (CreateFileW, MultiByteToWideChar and DeleteFileA the probe too).
        "GetModuleFileNameA",
        "GetComputerNameA",
        "DuplicateHandle",
        "CreateNamedPipeW",
        "CreateFileW",
        "CreateProcessA",
        "ReadFileEx",
        "WaitForSingleObjectEx",
        "GetExitCodeProcess",
        "MultiByteToWideChar",
        "WideCharToMultiByte",
        "RegSetKeyValueA",
        "RegDeleteKeyValueA",
        "CreateDirectoryA",
        "FindFirstFileA",
        "FindNextFileA",
        "FindClose",
        "DeleteFileA",
        // The updater's guard against a second run, and its image check.
        "CreateMutexExA",
        "GetKernelObjectSecurity",
        "GetSecurityDescriptorOwner",
        "FormatMessageA",
    };
    return calls;
}

bool IsFailableCall(const std::string& name) {
    const auto& calls = FailableCalls();
    return std::find(calls.begin(), calls.end(), name) != calls.end();
}

}  // namespace sim
