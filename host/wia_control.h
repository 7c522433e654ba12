// Control of the imaging service STISVC: read its status, set its start type, stop and disable
// it for the update, and restore it afterwards.
#pragma once

#include <cstdint>

#include "platform/win32.h"

constexpr const char* IMAGING_SERVICE_NAME = "STISVC";
constexpr DWORD SERVICE_MANAGER_ACCESS = GENERIC_EXECUTE;
constexpr DWORD IMAGING_SERVICE_ACCESS =
    SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;
// The longest either wait loop waits for the service to reach the state it asked for.
constexpr DWORD SERVICE_WAIT_LIMIT_MS = 30000;

// How much of the restore an ending can afford.
struct RestorePlan {
    // False while the scanner burns its flash: only the start type goes back.
    bool startService = true;
    // How long to wait first for a stop that a cancel cut short; 0: no such wait.
    DWORD stopWaitMs = 0;
    // False when the console is closing: the start is asked for, not watched.
    bool awaitRunning = true;
};

// The step a restore that returned 0 failed at, for the message that tells the user what to do.
enum class RestoreFailure { None, StartType, Start };

class CWIAControl {
public:
    CWIAControl();
    virtual ~CWIAControl();
    CWIAControl(const CWIAControl&) = delete;
    CWIAControl& operator=(const CWIAControl&) = delete;

    int QueryStatus(SERVICE_STATUS* status);
    int SetStartType(uint8_t startType);
    int RestoreService(const RestorePlan& plan = RestorePlan{}, RestoreFailure* failure = nullptr);
    int StopAndDisable(bool& wiaWasActive);

    SC_HANDLE m_hSCManager;
    SC_HANDLE m_hService;
    SERVICE_STATUS m_status;
    // Set when a call of this object failed with ERROR_ACCESS_DENIED: the user lacks the rights,
    // and restarting the computer would not help.
    bool m_accessDenied;
};
