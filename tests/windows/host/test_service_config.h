// How the stand-in imaging service behaves, chosen by the tests through the registry: the
// service reads these values each time it starts.
#pragma once

#include <windows.h>

namespace wintest {

constexpr const char* TEST_SERVICE_KEY = "SOFTWARE\\scanfw tests\\imaging service";
// Values under TEST_SERVICE_KEY, all REG_DWORD; an absent value means 0 unless said otherwise.
constexpr const char* START_PENDING_MS = "StartPendingMs";
constexpr const char* START_WAIT_HINT = "StartWaitHint";
constexpr const char* STOP_PENDING_MS = "StopPendingMs";
constexpr const char* STOP_WAIT_HINT = "StopWaitHint";
constexpr const char* PENDING_ACCEPTS = "PendingAccepts";  // controls accepted while start pending
constexpr const char* RUNNING_ACCEPTS = "RunningAccepts";  // absent: stop and shutdown
constexpr DWORD DEFAULT_RUNNING_ACCEPTS = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
// Set by the tests' cleanup: the stand-in stops at once, whatever it was told to accept or wait.
constexpr const char* QUIT_EVENT = "Global\\scanfw tests imaging service quit";

struct TestServiceConfig {
    DWORD startPendingMs = 0;
    DWORD startWaitHint = 0;
    DWORD stopPendingMs = 0;
    DWORD stopWaitHint = 0;
    DWORD pendingAccepts = 0;
    DWORD runningAccepts = DEFAULT_RUNNING_ACCEPTS;
};

}  // namespace wintest
