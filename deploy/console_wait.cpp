#include "deploy/console_wait.h"

#include <atomic>

#include "platform/win32.h"

namespace {

std::atomic<bool> g_recordWritten{false};

BOOL WINAPI DeployConsoleHandler(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT)
        return FALSE;
    // Returning lets Windows end the deploy: not before its record is written, if that comes in time.
    for (unsigned waited = 0; !g_recordWritten.load() && waited < CLOSE_WAIT_MS; waited += CLOSE_POLL_MS)
        SleepEx(CLOSE_POLL_MS, FALSE);
    return TRUE;
}

}  // namespace

bool SurviveConsoleEvents() {
    g_recordWritten = false;
    return SetConsoleCtrlHandler(DeployConsoleHandler, TRUE) != FALSE;
}

void RecordWritten() {
    g_recordWritten = true;
}
