// PLACEHOLDER: the substitute scanner and device transfers come with the scanner-link work.
#include <nlohmann/json.hpp>

#include "sim/machine.h"

namespace sim {
void BootDevices(Machine& m) {
    for (const DeviceSpec& d : m.scenario.devices) m.devices.scanners[d.index] = ScannerRuntime{};
}
void ReportDevices(const Machine&, nlohmann::json& report) { report["device"] = nullptr; }
}  // namespace sim

BOOL WINAPI WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    sim::Enter("WriteFile", ERROR_GEN_FAILURE);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}
BOOL WINAPI ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    sim::Enter("ReadFile", ERROR_GEN_FAILURE);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}
BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL) {
    sim::Enter("GetOverlappedResult", ERROR_GEN_FAILURE);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}
