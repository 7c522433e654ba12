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

class CWIAControl {
public:
    CWIAControl();
    virtual ~CWIAControl();
    CWIAControl(const CWIAControl&) = delete;
    CWIAControl& operator=(const CWIAControl&) = delete;

    int QueryStatus(SERVICE_STATUS* status);
    int SetStartType(uint8_t startType);
    int RestoreService();
    int StopAndDisable(bool& wiaWasActive);

    SC_HANDLE m_hSCManager;
    SC_HANDLE m_hService;
    SERVICE_STATUS m_status;
};
