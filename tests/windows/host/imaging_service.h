// The imaging service of the test prefix, driven directly for the tests' own setup and checks:
// saving and restoring its configuration, swapping in the stand-in service, and waiting for
// states. Independent of the updater's CWIAControl, which the tests exercise.
#pragma once

#include <windows.h>

#include <string>

#include "tests/wine/standin/standin_config.h"

namespace wintest {

struct ServiceSnapshot {
    DWORD state = 0;
    DWORD startType = 0;
    std::string binaryPath;
};

// The service's state, start type and executable; false with `error` set when unreadable.
bool ReadImagingService(ServiceSnapshot& out, std::string& error);
bool StartImagingService(std::string& error);
bool StopImagingService(std::string& error);
bool SetImagingServiceStartType(DWORD startType, std::string& error);
// Polls until the service is in `state`; false after `timeoutMs`.
bool WaitForImagingState(DWORD state, DWORD timeoutMs);

// Saves the configuration the service has now; a save left by an earlier, interrupted run is
// put back first, since that one is the original.
bool SaveOriginalService(std::string& error);
// Stops the service, puts the saved configuration and running state back and forgets the save.
bool RestoreOriginalService(std::string& error);
// Points STISVC at the stand-in service (stopped, demand start) behaving as `behaviour` says.
bool UseTestService(const standin::Behaviour& behaviour, std::string& error);

}  // namespace wintest
