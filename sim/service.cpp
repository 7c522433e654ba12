// Simulated service control manager with one service, the imaging service STISVC.
//
// Access rights are checked as Windows checks them: generic rights are mapped to the manager's
// and the service's specific ones when a handle is opened, and every call needs its own right on
// the handle it is given. A pending state lasts a number of successful status reads, then the next
// read shows where it leads.
#include <cstring>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "sim/machine.h"
#include "sim/threads.h"
#include "text/win32_names.h"

using sim::StartTypeText;

namespace {

constexpr const char* SERVICE_NAME = "STISVC";
constexpr const char* ACTIVE_DATABASE = "ServicesActive";
constexpr DWORD RPC_S_SERVER_UNAVAILABLE = 1722;
constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST = 1065;
constexpr DWORD RPC_X_NULL_REF_POINTER = 1780;

constexpr DWORD STANDARD_RIGHTS_READ = 0x00020000;
constexpr DWORD STANDARD_RIGHTS_WRITE = 0x00020000;
constexpr DWORD STANDARD_RIGHTS_EXECUTE = 0x00020000;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_LOCK = 0x0008;
constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr DWORD GENERIC_RIGHTS = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

// Windows' accepted-controls of an own-process service that runs: stop, pause and shutdown.
constexpr DWORD CONTROLS_WHEN_UP = 0x07;
// What the sizing call of QueryServiceConfigA reports as needed.
constexpr DWORD CONFIG_BYTES_NEEDED = 200;
constexpr const char* CONFIG_BINARY_PATH = "C:\\Windows\\system32\\svchost.exe -k imgsvc";
constexpr const char* CONFIG_DEPENDENCIES = "RpcSs\0";  // a double-zero-terminated list
constexpr size_t CONFIG_DEPENDENCIES_BYTES = 7;
constexpr const char* CONFIG_START_NAME = "LocalSystem";
constexpr const char* CONFIG_DISPLAY_NAME = "Windows Image Acquisition (WIA)";

DWORD MapGeneric(DWORD access, DWORD read, DWORD write, DWORD execute, DWORD all) {
    DWORD mapped = access & ~GENERIC_RIGHTS;
    if (access & GENERIC_READ)
        mapped |= read;
    if (access & GENERIC_WRITE)
        mapped |= write;
    if (access & GENERIC_EXECUTE)
        mapped |= execute;
    if (access & GENERIC_ALL)
        mapped |= all;
    return mapped;
}

DWORD ManagerRights(DWORD access) {
    // Every manager handle can connect, whatever was asked for.
    return SC_MANAGER_CONNECT |
           MapGeneric(access, STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
                      STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
                      STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK, SC_MANAGER_ALL_ACCESS);
}

DWORD ServiceRights(DWORD access) {
    return MapGeneric(
        access,
        STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
            SERVICE_ENUMERATE_DEPENDENTS,
        STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
        STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
        SERVICE_ALL_ACCESS);
}

// Where a pending state leads once it ends.
DWORD EndOfPending(DWORD state) {
    switch (state) {
        case SERVICE_STOP_PENDING:
            return SERVICE_STOPPED;
        case SERVICE_PAUSE_PENDING:
            return SERVICE_PAUSED;
        default:
            return SERVICE_RUNNING;  // start and continue
    }
}

// Every state after the initial one accepts what a service in that state accepts on Windows.
void EnterState(DWORD state) {
    sim::ServiceArea& s = sim::M().service;
    s.state = state;
    s.controlsAccepted = (state == SERVICE_RUNNING || state == SERVICE_PAUSED) ? CONTROLS_WHEN_UP : 0;
    s.checkPoint = 0;
    s.pendingReadsLeft = sim::M().scenario.service.pendingQueries;
}

void FillStatus(SERVICE_STATUS* status) {
    const sim::ServiceArea& s = sim::M().service;
    status->dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    status->dwCurrentState = s.state;
    status->dwControlsAccepted = s.controlsAccepted;
    status->dwWin32ExitCode = ERROR_SUCCESS;
    status->dwServiceSpecificExitCode = 0;
    status->dwCheckPoint = IsPendingServiceState(s.state) ? s.checkPoint : 0;
    status->dwWaitHint = IsPendingServiceState(s.state) ? sim::M().scenario.service.waitHint : 0;
}

std::string StatusText(const SERVICE_STATUS& status) {
    return std::string(ServiceStateName(status.dwCurrentState)) + ", accepts " + sim::Hex(status.dwControlsAccepted) +
           ", hint " + std::to_string(status.dwWaitHint);
}

using sim::Ptr;

// A failure of `call` with `error`: sets it, traces it, and gives the function's failure value.
template <typename T, typename Args>
T Fail(const char* call, const Args& args, DWORD error, T failure) {
    SetLastError(error);
    sim::TraceCall(call, args, [&] {
        return std::string(std::is_pointer_v<T> ? "NULL" : "FALSE") + ", error " + std::to_string(error);
    });
    return failure;
}

// The open service handle behind `handle` and its rights, or an error for the call to fail with.
DWORD CheckService(SC_HANDLE handle, DWORD right) {
    const sim::HandleObject* obj = sim::FindHandle(handle, sim::HandleKind::Service);
    if (obj == nullptr)
        return ERROR_INVALID_HANDLE;
    if ((obj->access & right) != right)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

}  // namespace

namespace sim {

std::string StartTypeText(DWORD startType) {
    const char* name = ServiceStartTypeName(startType);
    return name != nullptr ? name : Hex(startType);
}

void BootService(Machine& m) {
    const ServiceSpec& given = m.scenario.service;
    m.service = ServiceArea{};
    m.service.state = given.state;
    m.service.controlsAccepted = given.controlsAccepted;
    m.service.startType = given.startType;
    m.service.pendingReadsLeft = given.pendingQueries;
}

void ReportService(const Machine& m, nlohmann::json& report) {
    nlohmann::json changes = nlohmann::json::array();
    for (uint32_t t : m.service.configChanges) changes.push_back(StartTypeText(t));
    report["service"] = {{"state", ServiceStateName(m.service.state)},
                         {"startType", StartTypeText(m.service.startType)},
                         {"stopRequests", m.service.stopRequests},
                         {"startRequests", m.service.startRequests},
                         {"configChanges", changes}};
}

}  // namespace sim

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    auto args = [&] {
        return sim::Quote(lpMachineName) + ", " + sim::Quote(lpDatabaseName) + ", " + sim::Hex(dwDesiredAccess);
    };
    if (sim::Enter("OpenSCManagerA", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("OpenSCManagerA", args, "NULL (injected)");
        return nullptr;
    }
    SC_HANDLE none = nullptr;
    // Only the local machine's active database exists here.
    if (lpMachineName != nullptr && lpMachineName[0] != '\0')
        return Fail("OpenSCManagerA", args, RPC_S_SERVER_UNAVAILABLE, none);
    if (lpDatabaseName != nullptr && !sim::EqualIgnoringCase(lpDatabaseName, ACTIVE_DATABASE))
        return Fail("OpenSCManagerA", args, ERROR_DATABASE_DOES_NOT_EXIST, none);
    if (sim::M().scenario.service.managerDenied)
        return Fail("OpenSCManagerA", args, ERROR_ACCESS_DENIED, none);
    HANDLE h = sim::NewHandle(sim::HandleKind::Manager, 0, ManagerRights(dwDesiredAccess));
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("OpenSCManagerA", args, [&] { return Ptr(h); });
    return static_cast<SC_HANDLE>(h);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    auto args = [&] { return Ptr(hSCManager) + ", " + sim::Quote(lpServiceName) + ", " + sim::Hex(dwDesiredAccess); };
    if (sim::Enter("OpenServiceA", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("OpenServiceA", args, "NULL (injected)");
        return nullptr;
    }
    SC_HANDLE none = nullptr;
    if (sim::FindHandle(hSCManager, sim::HandleKind::Manager) == nullptr)
        return Fail("OpenServiceA", args, ERROR_INVALID_HANDLE, none);
    if (lpServiceName == nullptr || lpServiceName[0] == '\0')
        return Fail("OpenServiceA", args, ERROR_INVALID_NAME, none);
    // Windows tells a missing service before it looks at the rights asked for.
    if (!sim::EqualIgnoringCase(lpServiceName, SERVICE_NAME) || !sim::M().scenario.service.exists)
        return Fail("OpenServiceA", args, ERROR_SERVICE_DOES_NOT_EXIST, none);
    if (sim::M().scenario.service.serviceDenied)
        return Fail("OpenServiceA", args, ERROR_ACCESS_DENIED, none);
    HANDLE h = sim::NewHandle(sim::HandleKind::Service, 0, ServiceRights(dwDesiredAccess));
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("OpenServiceA", args, [&] { return Ptr(h); });
    return static_cast<SC_HANDLE>(h);
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    auto args = [&] { return Ptr(hService); };
    if (sim::Enter("QueryServiceStatus", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("QueryServiceStatus", args, "FALSE (injected)");
        return FALSE;
    }
    if (DWORD error = CheckService(hService, SERVICE_QUERY_STATUS))
        return Fail("QueryServiceStatus", args, error, FALSE);
    if (lpServiceStatus == nullptr)
        return Fail("QueryServiceStatus", args, RPC_X_NULL_REF_POINTER, FALSE);
    sim::ServiceArea& s = sim::M().service;
    if (IsPendingServiceState(s.state)) {
        if (s.pendingReadsLeft == 0) {
            EnterState(EndOfPending(s.state));
        } else {
            if (s.pendingReadsLeft > 0)
                s.pendingReadsLeft--;
            s.checkPoint++;
        }
    }
    FillStatus(lpServiceStatus);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("QueryServiceStatus", args, [&] { return "TRUE, " + StatusText(*lpServiceStatus); });
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    auto args = [&] { return Ptr(hService) + ", " + std::to_string(dwControl); };
    const bool injected = sim::Enter("ControlService", ERROR_SERVICE_REQUEST_TIMEOUT);
    if (injected && sim::ProcessGone())
        return FALSE;
    if (dwControl == SERVICE_CONTROL_STOP)
        sim::M().service.stopRequests++;  // refused ones too
    if (injected) {
        sim::TraceCall("ControlService", args, "FALSE (injected)");
        return FALSE;
    }
    // Only the stop control is modelled; every other one is refused as the service would.
    const DWORD right = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_USER_DEFINED_CONTROL;
    if (DWORD error = CheckService(hService, right))
        return Fail("ControlService", args, error, FALSE);
    if (lpServiceStatus == nullptr)
        return Fail("ControlService", args, RPC_X_NULL_REF_POINTER, FALSE);
    sim::ServiceArea& s = sim::M().service;
    DWORD error = ERROR_SUCCESS;
    if (s.state == SERVICE_STOPPED)
        error = ERROR_SERVICE_NOT_ACTIVE;
    else if (dwControl != SERVICE_CONTROL_STOP || (s.controlsAccepted & SERVICE_ACCEPT_STOP) == 0)
        error = ERROR_INVALID_SERVICE_CONTROL;
    else
        EnterState(SERVICE_STOP_PENDING);
    // Windows fills the status on these refusals too; it is not a status read.
    FillStatus(lpServiceStatus);
    if (error != ERROR_SUCCESS)
        return Fail("ControlService", args, error, FALSE);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("ControlService", args, [&] { return "TRUE, " + StatusText(*lpServiceStatus); });
    return TRUE;
}

BOOL WINAPI QueryServiceConfigA(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGA lpServiceConfig, DWORD cbBufSize,
                                LPDWORD pcbBytesNeeded) {
    auto args = [&] { return Ptr(hService) + ", " + Ptr(lpServiceConfig) + ", " + std::to_string(cbBufSize); };
    if (sim::Enter("QueryServiceConfigA", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("QueryServiceConfigA", args, "FALSE (injected)");
        return FALSE;
    }
    if (DWORD error = CheckService(hService, SERVICE_QUERY_CONFIG))
        return Fail("QueryServiceConfigA", args, error, FALSE);
    if (pcbBytesNeeded == nullptr)
        return Fail("QueryServiceConfigA", args, RPC_X_NULL_REF_POINTER, FALSE);
    if (lpServiceConfig == nullptr || cbBufSize < CONFIG_BYTES_NEEDED) {
        *pcbBytesNeeded = CONFIG_BYTES_NEEDED;
        return Fail(
            "QueryServiceConfigA", [&] { return args() + " (needs " + std::to_string(CONFIG_BYTES_NEEDED) + ")"; },
            ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    // The record, then its texts in the same buffer, as Windows lays them out.
    char* text = reinterpret_cast<char*>(lpServiceConfig + 1);
    auto put = [&text](const char* value, size_t bytes) {
        std::memcpy(text, value, bytes);
        char* at = text;
        text += bytes;
        return at;
    };
    lpServiceConfig->dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    lpServiceConfig->dwStartType = sim::M().service.startType;
    lpServiceConfig->dwErrorControl = SERVICE_ERROR_NORMAL;
    lpServiceConfig->dwTagId = 0;
    lpServiceConfig->lpBinaryPathName = put(CONFIG_BINARY_PATH, std::strlen(CONFIG_BINARY_PATH) + 1);
    lpServiceConfig->lpLoadOrderGroup = put("", 1);
    lpServiceConfig->lpDependencies = put(CONFIG_DEPENDENCIES, CONFIG_DEPENDENCIES_BYTES);
    lpServiceConfig->lpServiceStartName = put(CONFIG_START_NAME, std::strlen(CONFIG_START_NAME) + 1);
    lpServiceConfig->lpDisplayName = put(CONFIG_DISPLAY_NAME, std::strlen(CONFIG_DISPLAY_NAME) + 1);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("QueryServiceConfigA", args,
                   [&] { return "TRUE, start type " + StartTypeText(lpServiceConfig->dwStartType); });
    return TRUE;
}

BOOL WINAPI ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                 LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                 LPCSTR lpDependencies, LPCSTR lpServiceStartName, LPCSTR lpPassword,
                                 LPCSTR lpDisplayName) {
    auto args = [&] {
        return Ptr(hService) + ", " + sim::Hex(dwServiceType) + ", " + StartTypeText(dwStartType) + ", " +
               sim::Hex(dwErrorControl);
    };
    const bool injected = sim::Enter("ChangeServiceConfigA", ERROR_ACCESS_DENIED);
    if (injected && sim::ProcessGone())
        return FALSE;
    sim::M().service.configChanges.push_back(dwStartType);  // refused ones too
    if (injected) {
        sim::TraceCall("ChangeServiceConfigA", args, "FALSE (injected)");
        return FALSE;
    }
    if (DWORD error = CheckService(hService, SERVICE_CHANGE_CONFIG))
        return Fail("ChangeServiceConfigA", args, error, FALSE);
    // Only the start type is modelled. A request to change anything else is refused, so that a
    // caller meaning to change the start type alone is caught touching more.
    const bool othersUnchanged = dwServiceType == SERVICE_NO_CHANGE && dwErrorControl == SERVICE_NO_CHANGE &&
                                 lpBinaryPathName == nullptr && lpLoadOrderGroup == nullptr && lpdwTagId == nullptr &&
                                 lpDependencies == nullptr && lpServiceStartName == nullptr && lpPassword == nullptr &&
                                 lpDisplayName == nullptr;
    const bool validStartType = dwStartType == SERVICE_NO_CHANGE || dwStartType <= SERVICE_DISABLED;
    if (!othersUnchanged || !validStartType)
        return Fail("ChangeServiceConfigA", args, ERROR_INVALID_PARAMETER, FALSE);
    if (dwStartType != SERVICE_NO_CHANGE)
        sim::M().service.startType = dwStartType;
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("ChangeServiceConfigA", args, "TRUE");
    return TRUE;
}

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
    auto args = [&] {
        return Ptr(hService) + ", " + std::to_string(dwNumServiceArgs) + ", " + Ptr(lpServiceArgVectors);
    };
    const bool injected = sim::Enter("StartServiceA", ERROR_SERVICE_REQUEST_TIMEOUT);
    if (injected && sim::ProcessGone())
        return FALSE;
    sim::M().service.startRequests++;  // refused ones too
    if (injected) {
        sim::TraceCall("StartServiceA", args, "FALSE (injected)");
        return FALSE;
    }
    if (DWORD error = CheckService(hService, SERVICE_START))
        return Fail("StartServiceA", args, error, FALSE);
    sim::ServiceArea& s = sim::M().service;
    if (s.startType == SERVICE_DISABLED)
        return Fail("StartServiceA", args, ERROR_SERVICE_DISABLED, FALSE);
    if (s.state != SERVICE_STOPPED)
        return Fail("StartServiceA", args, ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    EnterState(SERVICE_START_PENDING);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("StartServiceA", args, "TRUE");
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    auto args = [&] { return Ptr(hSCObject); };
    if (sim::Enter("CloseServiceHandle", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("CloseServiceHandle", args, "FALSE (injected)");
        return FALSE;
    }
    if (sim::FindHandle(hSCObject, sim::HandleKind::Manager) == nullptr &&
        sim::FindHandle(hSCObject, sim::HandleKind::Service) == nullptr)
        return Fail("CloseServiceHandle", args, ERROR_INVALID_HANDLE, FALSE);
    sim::DropHandle(hSCObject);
    sim::TraceCall("CloseServiceHandle", args, "TRUE");
    return TRUE;
}
