// The imaging service: whether the updater could open the manager and the service with its access
// masks (each handle closed at once), then its status and configuration, read with query rights.
#include <vector>

#include "host/wia_control.h"
#include "probe/capture.h"
#include "text/win32_names.h"

namespace {

constexpr const char* STEP = "service";
constexpr DWORD READ_ACCESS = SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG;
constexpr int MASK_DIGITS = 2;

void Close(Capture& capture, SC_HANDLE handle) {
    if (!CloseServiceHandle(handle))
        Note(capture, STEP, "CloseServiceHandle", IMAGING_SERVICE_NAME, GetLastError());
}

// Whether the updater's own mask would open the manager: "granted", "denied", or null (noted).
JsonValue ManagerAccess(Capture& capture) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SERVICE_MANAGER_ACCESS);
    if (manager != nullptr) {
        Close(capture, manager);
        return JsonString("granted");
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED)
        return JsonString("denied");
    Note(capture, STEP, "OpenSCManagerA", "updater's access", error);
    return JsonValue{};
}

void ReadStatus(Capture& capture, SC_HANDLE service, JsonValue& out, JsonValue& seen) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) {
        Note(capture, STEP, "QueryServiceStatus", IMAGING_SERVICE_NAME, GetLastError());
        return;
    }
    Add(seen, "state", JsonNumber(status.dwCurrentState));
    Add(seen, "controlsAccepted", JsonNumber(status.dwControlsAccepted));
    Add(seen, "waitHint", JsonNumber(status.dwWaitHint));
    Add(seen, "checkPoint", JsonNumber(status.dwCheckPoint));
    Add(seen, "win32ExitCode", JsonNumber(status.dwWin32ExitCode));
    const char* state = ServiceStateName(status.dwCurrentState);
    if (state == nullptr) {
        Note(capture, STEP, "QueryServiceStatus", "unknown state " + std::to_string(status.dwCurrentState), 0);
        return;
    }
    Add(out, "state", JsonString(state));
    Add(out, "controlsAccepted", JsonString(HexNumber(status.dwControlsAccepted, MASK_DIGITS)));
    // A hint belongs to the pending state it is read in; one read in a settled state says
    // nothing of the pending states to come, so it is not replayed.
    if (IsPendingServiceState(status.dwCurrentState))
        Add(out, "waitHint", JsonNumber(status.dwWaitHint));
}

void ReadStartType(Capture& capture, SC_HANDLE service, JsonValue& out, JsonValue& seen) {
    DWORD needed = 0;
    if (!QueryServiceConfigA(service, nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Note(capture, STEP, "QueryServiceConfigA", IMAGING_SERVICE_NAME, GetLastError());
        return;
    }
    // Whole records, so that the pointers the call writes at its start are aligned.
    std::vector<QUERY_SERVICE_CONFIGA> buffer(needed / sizeof(QUERY_SERVICE_CONFIGA) + 1);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(QUERY_SERVICE_CONFIGA));
    if (!QueryServiceConfigA(service, buffer.data(), size, &needed)) {
        Note(capture, STEP, "QueryServiceConfigA", IMAGING_SERVICE_NAME, GetLastError());
        return;
    }
    Add(seen, "startType", JsonNumber(buffer[0].dwStartType));
    const char* startType = ServiceStartTypeName(buffer[0].dwStartType);
    if (startType == nullptr) {
        Note(capture, STEP, "QueryServiceConfigA", "unknown start type " + std::to_string(buffer[0].dwStartType), 0);
        return;
    }
    Add(out, "startType", JsonString(startType));
}

}  // namespace

void CaptureService(Capture& capture) {
    JsonValue out = JsonObject();
    JsonValue seen = JsonObject();
    JsonValue managerAccess = ManagerAccess(capture);
    if (managerAccess.kind != JsonValue::Kind::Null)
        Add(out, "managerAccess", std::move(managerAccess));

    // The least a reader needs; a user without the updater's rights usually still has it.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        Note(capture, STEP, "OpenSCManagerA", "connect", GetLastError());
    } else {
        SC_HANDLE service = OpenServiceA(manager, IMAGING_SERVICE_NAME, IMAGING_SERVICE_ACCESS);
        const DWORD error = service == nullptr ? GetLastError() : ERROR_SUCCESS;
        if (service != nullptr) {
            Close(capture, service);
            Add(out, "serviceAccess", JsonString("granted"));
        } else if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            Add(out, "exists", JsonBool(false));
        } else if (error == ERROR_ACCESS_DENIED) {
            Add(out, "serviceAccess", JsonString("denied"));
        } else {
            Note(capture, STEP, "OpenServiceA", "updater's access", error);
        }
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
            SC_HANDLE reader = OpenServiceA(manager, IMAGING_SERVICE_NAME, READ_ACCESS);
            if (reader == nullptr) {
                Note(capture, STEP, "OpenServiceA", "query access", GetLastError());
            } else {
                ReadStatus(capture, reader, out, seen);
                ReadStartType(capture, reader, out, seen);
                Close(capture, reader);
            }
        }
        Close(capture, manager);
    }
    Add(capture.scenario, "service", std::move(out));
    Add(capture.probe, "service", std::move(seen));
}
