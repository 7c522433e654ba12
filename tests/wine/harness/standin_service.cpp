// The imaging service STISVC of an end-to-end prefix: a stand-in for the stock one that passes
// through its start and stop pending states for as long as the scenario asks, reporting the
// scenario's wait hint, so the updater's waits meet a service that takes its time as the
// simulated one does. It reads its behaviour from the registry each time it starts.
#include <windows.h>

#include "tests/wine/harness/standin_config.h"

namespace {

SERVICE_STATUS_HANDLE g_statusHandle;
HANDLE g_stopRequested;
e2e::StandinConfig g_config;

DWORD ReadValue(HKEY key, const char* name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

e2e::StandinConfig ReadConfig() {
    e2e::StandinConfig config;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, e2e::STANDIN_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return config;
    config.startPendingMs = ReadValue(key, e2e::START_PENDING_MS, config.startPendingMs);
    config.stopPendingMs = ReadValue(key, e2e::STOP_PENDING_MS, config.stopPendingMs);
    config.waitHint = ReadValue(key, e2e::WAIT_HINT, config.waitHint);
    config.runningAccepts = ReadValue(key, e2e::RUNNING_ACCEPTS, config.runningAccepts);
    RegCloseKey(key);
    return config;
}

// Pending states accept no control and carry the hint; settled states carry none.
void Report(DWORD state) {
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? g_config.runningAccepts : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwCheckPoint = pending ? 1 : 0;
    status.dwWaitHint = pending ? g_config.waitHint : 0;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Report(SERVICE_STOP_PENDING);
            SetEvent(g_stopRequested);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_config = ReadConfig();
    g_stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_statusHandle = RegisterServiceCtrlHandlerExA(e2e::SERVICE_NAME, Handler, nullptr);
    if (g_statusHandle == nullptr || g_stopRequested == nullptr)
        return;
    Report(SERVICE_START_PENDING);
    // Nothing is accepted while starting, so no stop can cut the start short.
    Sleep(g_config.startPendingMs);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stopRequested, INFINITE);
    Sleep(g_config.stopPendingMs);
    Report(SERVICE_STOPPED);
    CloseHandle(g_stopRequested);
}

}  // namespace

int main() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(e2e::SERVICE_NAME), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
