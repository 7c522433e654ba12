// PLACEHOLDER: the service manager comes with the host-coordination work.
#include <nlohmann/json.hpp>

#include "sim/machine.h"

namespace sim {
void BootService(Machine&) {}
void ReportService(const Machine&, nlohmann::json& report) { report["service"] = nullptr; }
}  // namespace sim

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    sim::Enter("OpenSCManagerA", ERROR_ACCESS_DENIED);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}
SC_HANDLE WINAPI OpenServiceA(SC_HANDLE, LPCSTR, DWORD) { return nullptr; }
BOOL WINAPI QueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) { return FALSE; }
BOOL WINAPI ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) { return FALSE; }
BOOL WINAPI QueryServiceConfigA(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD) { return FALSE; }
BOOL WINAPI ChangeServiceConfigA(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR,
                                 LPCSTR, LPCSTR) {
    return FALSE;
}
BOOL WINAPI StartServiceA(SC_HANDLE, DWORD, LPCSTR*) { return FALSE; }
BOOL WINAPI CloseServiceHandle(SC_HANDLE) { return FALSE; }
