// How the stand-in imaging service of an end-to-end prefix behaves. The harness writes these
// values (all REG_DWORD, an absent one keeps its default) before the service first starts; the
// names are repeated in wine_setup.py, which writes them.
#pragma once

#include <windows.h>

namespace e2e {

constexpr const char* SERVICE_NAME = "STISVC";
constexpr const char* STANDIN_KEY = "SOFTWARE\\scanfw e2e\\imaging service";
constexpr const char* START_PENDING_MS = "StartPendingMs";
constexpr const char* STOP_PENDING_MS = "StopPendingMs";
constexpr const char* WAIT_HINT = "WaitHint";              // in both pending states
constexpr const char* RUNNING_ACCEPTS = "RunningAccepts";  // dwControlsAccepted while running

// What a service that runs accepts on Windows: stop, pause and continue, shutdown.
constexpr DWORD DEFAULT_RUNNING_ACCEPTS = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;

struct StandinConfig {
    DWORD startPendingMs = 0;
    DWORD stopPendingMs = 0;
    DWORD waitHint = 0;
    DWORD runningAccepts = DEFAULT_RUNNING_ACCEPTS;
};

}  // namespace e2e
