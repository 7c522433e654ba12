// PLACEHOLDER: named mutexes come with the host-coordination work.
#include <nlohmann/json.hpp>

#include "sim/machine.h"

namespace sim {
void BootMutexes(Machine&) {}
void ReportMutexes(const Machine&, nlohmann::json& report) { report["mutexes"] = nlohmann::json::object(); }
void CloseMutexHandle(int) {}
}  // namespace sim

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) { return nullptr; }
BOOL WINAPI ReleaseMutex(HANDLE) { return FALSE; }
