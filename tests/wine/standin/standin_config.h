// How the stand-in imaging service behaves. Whoever sets up a prefix (the Windows tests in C++,
// the end-to-end harness through a .reg file) writes these values before the service starts; it
// reads them each time it starts. The harness repeats the names in scenario_setup.py, and its
// unit test reads them from here so that the two cannot drift apart.
#pragma once

#include <windows.h>

namespace standin {

constexpr const char* SERVICE_NAME = "STISVC";
constexpr const char* BEHAVIOUR_KEY = "SOFTWARE\\scanfw tests\\imaging service";
// Values under BEHAVIOUR_KEY, all REG_DWORD; an absent one keeps the default in Behaviour.
constexpr const char* START_PENDING_MS = "StartPendingMs";
constexpr const char* START_WAIT_HINT = "StartWaitHint";
constexpr const char* STOP_PENDING_MS = "StopPendingMs";
constexpr const char* STOP_WAIT_HINT = "StopWaitHint";
constexpr const char* PENDING_ACCEPTS = "PendingAccepts";  // dwControlsAccepted while start pending
constexpr const char* RUNNING_ACCEPTS = "RunningAccepts";  // dwControlsAccepted while running
constexpr DWORD DEFAULT_RUNNING_ACCEPTS = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
// Set by a test's cleanup: the stand-in stops at once, whatever it was told to accept or wait.
constexpr const char* QUIT_EVENT = "Global\\scanfw tests imaging service quit";

struct Behaviour {
    DWORD startPendingMs = 0;
    DWORD startWaitHint = 0;
    DWORD stopPendingMs = 0;
    DWORD stopWaitHint = 0;
    DWORD pendingAccepts = 0;
    DWORD runningAccepts = DEFAULT_RUNNING_ACCEPTS;
};

}  // namespace standin
