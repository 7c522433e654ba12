// A stand-in for the imaging service, registered as STISVC in the test prefix in place of the
// stock one: it passes through start and stop pending states of a chosen length and wait hint,
// so the updater's waits meet a service that takes its time.
#include <windows.h>

#include "tests/windows/host/test_service_config.h"

namespace {

constexpr const char* SERVICE_NAME = "STISVC";
constexpr DWORD FIRST_CHECKPOINT = 1;

SERVICE_STATUS_HANDLE g_statusHandle;
HANDLE g_stopRequested;
HANDLE g_quit;
wintest::TestServiceConfig g_config;

DWORD ReadValue(HKEY key, const char* name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

wintest::TestServiceConfig ReadConfig() {
    wintest::TestServiceConfig config;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, wintest::TEST_SERVICE_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return config;
    config.startPendingMs = ReadValue(key, wintest::START_PENDING_MS, 0);
    config.startWaitHint = ReadValue(key, wintest::START_WAIT_HINT, 0);
    config.stopPendingMs = ReadValue(key, wintest::STOP_PENDING_MS, 0);
    config.stopWaitHint = ReadValue(key, wintest::STOP_WAIT_HINT, 0);
    config.pendingAccepts = ReadValue(key, wintest::PENDING_ACCEPTS, 0);
    config.runningAccepts = ReadValue(key, wintest::RUNNING_ACCEPTS, wintest::DEFAULT_RUNNING_ACCEPTS);
    RegCloseKey(key);
    return config;
}

void Report(DWORD state, DWORD accepted, DWORD waitHint, DWORD checkPoint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = checkPoint;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Report(SERVICE_STOP_PENDING, 0, g_config.stopWaitHint, FIRST_CHECKPOINT);
            SetEvent(g_stopRequested);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Waits for `event` or the quit event for up to `ms`; true when the quit event ended it.
bool WaitOrQuit(HANDLE event, DWORD ms, bool& eventSet) {
    HANDLE events[] = {event, g_quit};
    const DWORD result = WaitForMultipleObjects(2, events, FALSE, ms);
    eventSet = result == WAIT_OBJECT_0;
    return result == WAIT_OBJECT_0 + 1;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_config = ReadConfig();
    g_stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_quit = CreateEventA(nullptr, TRUE, FALSE, wintest::QUIT_EVENT);
    if (g_quit != nullptr) ResetEvent(g_quit);  // a leftover from an earlier run may be set
    g_statusHandle = RegisterServiceCtrlHandlerExA(SERVICE_NAME, Handler, nullptr);
    if (g_statusHandle == nullptr || g_stopRequested == nullptr || g_quit == nullptr) return;
    Report(SERVICE_START_PENDING, g_config.pendingAccepts, g_config.startWaitHint, FIRST_CHECKPOINT);
    bool stopRequested = false;
    // A stop asked for while starting ends the start early.
    bool quit = WaitOrQuit(g_stopRequested, g_config.startPendingMs, stopRequested);
    if (!quit && !stopRequested) {
        Report(SERVICE_RUNNING, g_config.runningAccepts, 0, 0);
        quit = WaitOrQuit(g_stopRequested, INFINITE, stopRequested);
    }
    if (!quit) WaitForSingleObject(g_quit, g_config.stopPendingMs);
    Report(SERVICE_STOPPED, 0, 0, 0);
    CloseHandle(g_quit);
    CloseHandle(g_stopRequested);
}

}  // namespace

int main() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(SERVICE_NAME), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
