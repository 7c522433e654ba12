// The stand-in for the imaging service STISVC, registered in a test prefix in place of the stock
// one: it passes through start and stop pending states of a chosen length and wait hint, and
// accepts the controls it is told to, so the updater's waits meet a service that takes its time.
// standin_config.h says how it is configured.
#include <windows.h>

#include "tests/wine/standin/standin_config.h"

namespace {

constexpr DWORD FIRST_CHECKPOINT = 1;

SERVICE_STATUS_HANDLE g_statusHandle;
HANDLE g_stopRequested;
HANDLE g_quit;
standin::Behaviour g_behaviour;
// What the state last reported accepts: a control it does not accept is refused here too, not
// only by the service manager.
volatile DWORD g_accepted;

DWORD ReadValue(HKEY key, const char* name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

standin::Behaviour ReadBehaviour() {
    standin::Behaviour b;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, standin::BEHAVIOUR_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return b;
    b.startPendingMs = ReadValue(key, standin::START_PENDING_MS, b.startPendingMs);
    b.startWaitHint = ReadValue(key, standin::START_WAIT_HINT, b.startWaitHint);
    b.stopPendingMs = ReadValue(key, standin::STOP_PENDING_MS, b.stopPendingMs);
    b.stopWaitHint = ReadValue(key, standin::STOP_WAIT_HINT, b.stopWaitHint);
    b.pendingAccepts = ReadValue(key, standin::PENDING_ACCEPTS, b.pendingAccepts);
    b.runningAccepts = ReadValue(key, standin::RUNNING_ACCEPTS, b.runningAccepts);
    RegCloseKey(key);
    return b;
}

// Pending states carry a checkpoint and their hint; settled states carry neither.
void Report(DWORD state, DWORD accepted, DWORD waitHint) {
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwWaitHint = pending ? waitHint : 0;
    status.dwCheckPoint = pending ? FIRST_CHECKPOINT : 0;
    g_accepted = accepted;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            const DWORD needed = control == SERVICE_CONTROL_STOP ? SERVICE_ACCEPT_STOP : SERVICE_ACCEPT_SHUTDOWN;
            if ((g_accepted & needed) == 0)
                return ERROR_CALL_NOT_IMPLEMENTED;
            Report(SERVICE_STOP_PENDING, 0, g_behaviour.stopWaitHint);
            SetEvent(g_stopRequested);
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
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
    g_behaviour = ReadBehaviour();
    g_stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_quit = CreateEventA(nullptr, TRUE, FALSE, standin::QUIT_EVENT);
    if (g_quit != nullptr)
        ResetEvent(g_quit);  // a leftover from an earlier run may be set
    g_statusHandle = RegisterServiceCtrlHandlerExA(standin::SERVICE_NAME, Handler, nullptr);
    if (g_statusHandle != nullptr && g_stopRequested != nullptr && g_quit != nullptr) {
        Report(SERVICE_START_PENDING, g_behaviour.pendingAccepts, g_behaviour.startWaitHint);
        bool stopRequested = false;
        // A stop accepted while starting ends the start early.
        bool quit = WaitOrQuit(g_stopRequested, g_behaviour.startPendingMs, stopRequested);
        if (!quit && !stopRequested) {
            Report(SERVICE_RUNNING, g_behaviour.runningAccepts, 0);
            quit = WaitOrQuit(g_stopRequested, INFINITE, stopRequested);
        }
        if (!quit)
            WaitForSingleObject(g_quit, g_behaviour.stopPendingMs);
        Report(SERVICE_STOPPED, 0, 0);
    }
    if (g_quit != nullptr)
        CloseHandle(g_quit);
    if (g_stopRequested != nullptr)
        CloseHandle(g_stopRequested);
}

}  // namespace

int main() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(standin::SERVICE_NAME), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
