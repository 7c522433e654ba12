#include "tests/windows/host/imaging_service.h"

#include <cstdio>
#include <vector>

namespace wintest {
namespace {

constexpr const char* TESTS_KEY = "SOFTWARE\\scanfw tests";
constexpr const char* BACKUP_KEY = "SOFTWARE\\scanfw tests\\original imaging service";
constexpr const char* BACKUP_PATH = "ImagePath";
constexpr const char* BACKUP_START = "Start";
constexpr const char* BACKUP_RUNNING = "Running";
constexpr DWORD POLL_MS = 50;
constexpr DWORD SETTLE_TIMEOUT_MS = 20000;

std::string Failed(const char* what) {
    char text[128];
    std::snprintf(text, sizeof text, "%s failed, error %lu", what, GetLastError());
    return text;
}

// Manager and service handles for one piece of setup work, closed when it ends.
class Service {
public:
    Service() {
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (manager_ != nullptr)
            service_ = OpenServiceA(manager_, standin::SERVICE_NAME, SERVICE_ALL_ACCESS);
    }
    ~Service() {
        if (service_ != nullptr)
            CloseServiceHandle(service_);
        if (manager_ != nullptr)
            CloseServiceHandle(manager_);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    SC_HANDLE get() const { return service_; }

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

bool ChangeConfig(DWORD startType, const char* binaryPath, std::string& error) {
    Service s;
    if (s.get() == nullptr) {
        error = Failed("OpenServiceA");
        return false;
    }
    if (!ChangeServiceConfigA(s.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, binaryPath, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr)) {
        error = Failed("ChangeServiceConfigA");
        return false;
    }
    return true;
}

bool WriteDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

DWORD ReadDword(HKEY key, const char* name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof value;
    return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS
               ? value
               : fallback;
}

// The stand-in's executable, quoted for the service manager: the build tree's path (a host path,
// given by the build) on the drive through which Wine reaches the host's root.
std::string TestServicePath() {
    std::string path = "\"Z:";
    for (const char* c = SCANFW_STANDIN_SERVICE_PATH; *c != '\0'; ++c) path += *c == '/' ? '\\' : *c;
    return path + "\"";
}

}  // namespace

bool ReadImagingService(ServiceSnapshot& out, std::string& error) {
    Service s;
    if (s.get() == nullptr) {
        error = Failed("OpenServiceA");
        return false;
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(s.get(), &status)) {
        error = Failed("QueryServiceStatus");
        return false;
    }
    DWORD needed = 0;
    QueryServiceConfigA(s.get(), nullptr, 0, &needed);
    std::vector<char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigA(s.get(), config, needed, &needed)) {
        error = Failed("QueryServiceConfigA");
        return false;
    }
    out.state = status.dwCurrentState;
    out.startType = config->dwStartType;
    out.binaryPath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : "";
    return true;
}

bool StartImagingService(std::string& error) {
    Service s;
    if (s.get() == nullptr || !StartServiceA(s.get(), 0, nullptr)) {
        error = Failed("StartServiceA");
        return false;
    }
    return true;
}

bool StopImagingService(std::string& error) {
    Service s;
    SERVICE_STATUS status{};
    if (s.get() == nullptr || !ControlService(s.get(), SERVICE_CONTROL_STOP, &status)) {
        error = Failed("ControlService");
        return false;
    }
    return true;
}

bool SetImagingServiceStartType(DWORD startType, std::string& error) {
    return ChangeConfig(startType, nullptr, error);
}

bool WaitForImagingState(DWORD state, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        ServiceSnapshot now;
        std::string ignored;
        if (ReadImagingService(now, ignored) && now.state == state)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
}

bool SaveOriginalService(std::string& error) {
    HKEY key = nullptr;
    // A save left by an interrupted run holds the original: put it back before saving afresh.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BACKUP_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        if (!RestoreOriginalService(error))
            return false;
    }
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, BACKUP_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        error = "cannot create the backup key";
        return false;
    }
    ServiceSnapshot original;
    bool ok = ReadImagingService(original, error) &&
              RegSetValueExA(key, BACKUP_PATH, 0, REG_SZ, reinterpret_cast<const BYTE*>(original.binaryPath.c_str()),
                             static_cast<DWORD>(original.binaryPath.size() + 1)) == ERROR_SUCCESS &&
              WriteDword(key, BACKUP_START, original.startType) &&
              WriteDword(key, BACKUP_RUNNING, original.state != SERVICE_STOPPED);
    if (!ok && error.empty())
        error = "cannot write the backup";
    RegCloseKey(key);
    return ok;
}

bool RestoreOriginalService(std::string& error) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BACKUP_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        error = "no saved configuration";
        return false;
    }
    char path[MAX_PATH] = "";
    DWORD size = sizeof path - 1;
    const bool havePath =
        RegQueryValueExA(key, BACKUP_PATH, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size) == ERROR_SUCCESS;
    const DWORD startType = ReadDword(key, BACKUP_START, SERVICE_DEMAND_START);
    const bool wasRunning = ReadDword(key, BACKUP_RUNNING, 0) != 0;
    RegCloseKey(key);
    if (!havePath) {
        error = "the saved configuration has no executable";
        return false;
    }

    ServiceSnapshot now;
    if (!ReadImagingService(now, error))
        return false;
    if (now.state != SERVICE_STOPPED) {
        std::string ignored;
        StopImagingService(ignored);
        // The stand-in may refuse the stop or take long over it: tell it to quit.
        if (HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, standin::QUIT_EVENT)) {
            SetEvent(quit);
            CloseHandle(quit);
        }
        if (!WaitForImagingState(SERVICE_STOPPED, SETTLE_TIMEOUT_MS)) {
            error = "the service did not stop";
            return false;
        }
    }
    if (!ChangeConfig(startType, path, error))
        return false;
    if (wasRunning && !(StartImagingService(error) && WaitForImagingState(SERVICE_RUNNING, SETTLE_TIMEOUT_MS)))
        return false;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, BACKUP_KEY);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, standin::BEHAVIOUR_KEY);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, TESTS_KEY);  // only once nothing else is left in it
    return true;
}

bool UseTestService(const standin::Behaviour& behaviour, std::string& error) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, standin::BEHAVIOUR_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        error = "cannot create the stand-in's key";
        return false;
    }
    const bool written = WriteDword(key, standin::START_PENDING_MS, behaviour.startPendingMs) &&
                         WriteDword(key, standin::START_WAIT_HINT, behaviour.startWaitHint) &&
                         WriteDword(key, standin::STOP_PENDING_MS, behaviour.stopPendingMs) &&
                         WriteDword(key, standin::STOP_WAIT_HINT, behaviour.stopWaitHint) &&
                         WriteDword(key, standin::PENDING_ACCEPTS, behaviour.pendingAccepts) &&
                         WriteDword(key, standin::RUNNING_ACCEPTS, behaviour.runningAccepts);
    RegCloseKey(key);
    if (!written) {
        error = "cannot write the stand-in's behaviour";
        return false;
    }
    ServiceSnapshot now;
    if (!ReadImagingService(now, error))
        return false;
    if (now.state != SERVICE_STOPPED &&
        !(StopImagingService(error) && WaitForImagingState(SERVICE_STOPPED, SETTLE_TIMEOUT_MS)))
        return false;
    return ChangeConfig(SERVICE_DEMAND_START, TestServicePath().c_str(), error);
}

}  // namespace wintest
