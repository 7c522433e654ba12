// e2e_prefix.exe: the end-to-end harness's hands inside a Wine prefix, for what reg.exe and sc.exe
// cannot do there.
//
//   e2e_prefix install-service EXE       replaces the stock imaging service with the stand-in EXE,
//                                        registered as STISVC, stopped, demand start
//   e2e_prefix remove-service            deletes STISVC: a machine without the imaging service
//   e2e_prefix set-service STATE START   STATE running|stopped, START auto|demand|disabled
//   e2e_prefix query-service             prints "state WORD" and "startType WORD", or "missing"
//   e2e_prefix deny-key KEY              closes the HKEY_LOCAL_MACHINE subkey KEY to everyone (an
//                                        empty DACL): opening it then fails with error 5
//   e2e_prefix hold READY RELEASE (open|denied NAME)...
//       plays the other applications: creates each NAME as a new mutex it owns, open to everyone
//       or (denied) to no one but itself, writes "ready" to the file READY (or "error ..." when a
//       name existed already), and keeps them until the file RELEASE exists
//
// Exit status 0 done, 1 failed (one line on stderr), 2 usage. Output uses "\n" line ends.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/wine/standin/standin_config.h"
#include "text/win32_names.h"

namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr DWORD POLL_MS = 20;
constexpr DWORD SETTLE_TIMEOUT_MS = 30000;
// A holder whose harness died must not keep its prefix's server alive for ever.
constexpr DWORD LONGEST_HOLD_MS = 30 * 60 * 1000;
// Right after the server starts, its service manager may still be starting services of its own.
constexpr DWORD DATABASE_LOCKED_RETRIES = 300;
constexpr const char* STOCK_SERVICE_NAME = "StiSvc";
constexpr const char* SERVICE_DISPLAY_NAME = "Windows Image Acquisition (WIA)";

// A state or start type as the harness writes it; "?" for a value that has no name.
const char* Name(const char* name) {
    return name != nullptr ? name : "?";
}

// Says which call failed and why; false, for the steps that return a success flag.
bool StepFailed(const char* what) {
    std::fprintf(stderr, "e2e_prefix: %s failed, error %lu\n", what, GetLastError());
    return false;
}

int Failed(const char* what) {
    StepFailed(what);
    return EXIT_FAILED;
}

// The manager and one service, closed when the command ends.
class Service {
public:
    explicit Service(const char* name) {
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (manager_ != nullptr)
            service_ = OpenServiceA(manager_, name, SERVICE_ALL_ACCESS);
    }
    ~Service() {
        if (service_ != nullptr)
            CloseServiceHandle(service_);
        if (manager_ != nullptr)
            CloseServiceHandle(manager_);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    SC_HANDLE manager() const { return manager_; }
    SC_HANDLE get() const { return service_; }

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

bool WaitForState(SC_HANDLE service, DWORD state) {
    const DWORD start = GetTickCount();
    SERVICE_STATUS status{};
    while (QueryServiceStatus(service, &status)) {
        if (status.dwCurrentState == state)
            return true;
        if (GetTickCount() - start >= SETTLE_TIMEOUT_MS)
            break;
        Sleep(POLL_MS);
    }
    std::fprintf(stderr, "e2e_prefix: the service is %s, not %s\n", Name(ServiceStateName(status.dwCurrentState)),
                 Name(ServiceStateName(state)));
    return false;
}

bool StopService(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status))
        return StepFailed("QueryServiceStatus");
    if (status.dwCurrentState == SERVICE_STOPPED)
        return true;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return StepFailed("ControlService(STOP)");
    return WaitForState(service, SERVICE_STOPPED);
}

bool StartService(SC_HANDLE service) {
    for (DWORD attempt = 0; !StartServiceA(service, 0, nullptr); ++attempt) {
        if (GetLastError() != ERROR_SERVICE_DATABASE_LOCKED || attempt == DATABASE_LOCKED_RETRIES)
            return StepFailed("StartServiceA");
        Sleep(POLL_MS);
    }
    return WaitForState(service, SERVICE_RUNNING);
}

// Deletes the named service once it has stopped; true when there is none left by that name.
bool DeleteStopped(const char* name) {
    Service s(name);
    if (s.manager() == nullptr)
        return StepFailed("OpenSCManagerA");
    if (s.get() == nullptr)
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    if (!StopService(s.get()))
        return false;
    return DeleteService(s.get()) || StepFailed("DeleteService");
}

int InstallService(const char* exe) {
    // The stock service's name differs only in case, and names of services ignore case.
    if (!DeleteStopped(STOCK_SERVICE_NAME) || !DeleteStopped(standin::SERVICE_NAME))
        return EXIT_FAILED;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return Failed("OpenSCManagerA");
    const std::string path = std::string("\"") + exe + "\"";
    SC_HANDLE service = CreateServiceA(manager, standin::SERVICE_NAME, SERVICE_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    const int rc = service != nullptr ? EXIT_DONE : Failed("CreateServiceA(STISVC)");
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

int RemoveService() {
    return DeleteStopped(standin::SERVICE_NAME) ? EXIT_DONE : EXIT_FAILED;
}

int SetService(const char* stateWord, const char* startWord) {
    const std::optional<DWORD> state = ServiceStateNamed(stateWord);
    const std::optional<DWORD> startType = ServiceStartTypeNamed(startWord);
    if (!state || (*state != SERVICE_RUNNING && *state != SERVICE_STOPPED) || !startType)
        return EXIT_USAGE;
    Service s(standin::SERVICE_NAME);
    if (s.get() == nullptr)
        return Failed("OpenServiceA(STISVC)");
    // Started first: a disabled service cannot be started.
    if (!(*state == SERVICE_RUNNING ? StartService(s.get()) : StopService(s.get())))
        return EXIT_FAILED;
    if (!ChangeServiceConfigA(s.get(), SERVICE_NO_CHANGE, *startType, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr))
        return Failed("ChangeServiceConfigA");
    return EXIT_DONE;
}

int QueryService() {
    Service s(standin::SERVICE_NAME);
    if (s.manager() == nullptr)
        return Failed("OpenSCManagerA");
    if (s.get() == nullptr) {
        if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
            return Failed("OpenServiceA(STISVC)");
        std::printf("missing\n");
        return EXIT_DONE;
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(s.get(), &status))
        return Failed("QueryServiceStatus");
    DWORD needed = 0;
    QueryServiceConfigA(s.get(), nullptr, 0, &needed);
    std::vector<char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed < sizeof *config || !QueryServiceConfigA(s.get(), config, needed, &needed))
        return Failed("QueryServiceConfigA");
    std::printf("state %s\nstartType %s\n", Name(ServiceStateName(status.dwCurrentState)),
                Name(ServiceStartTypeName(config->dwStartType)));
    return EXIT_DONE;
}

bool WriteText(const char* path, const std::string& text) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written;
}

bool Exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// A security descriptor whose DACL is null (everyone may do everything, as the scanning
// applications make their mutexes) or empty (no one but the owner's implicit rights).
struct Security {
    explicit Security(bool closed) {
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        InitializeAcl(&emptyAcl, sizeof emptyAcl, ACL_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, closed ? &emptyAcl : nullptr, FALSE);
    }
    // The descriptor points into the object itself.
    Security(const Security&) = delete;
    Security& operator=(const Security&) = delete;
    SECURITY_DESCRIPTOR descriptor;
    ACL emptyAcl;
};

int DenyKey(const char* name) {
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, WRITE_DAC, &key);
    if (opened != ERROR_SUCCESS) {
        SetLastError(opened);
        return Failed("RegOpenKeyExA");
    }
    Security closed(true);
    const LSTATUS set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &closed.descriptor);
    RegCloseKey(key);
    if (set != ERROR_SUCCESS) {
        SetLastError(set);
        return Failed("RegSetKeySecurity");
    }
    return EXIT_DONE;
}

struct HeldName {
    bool denied;
    const char* name;
};

int Hold(const char* readyPath, const char* releasePath, const std::vector<HeldName>& names) {
    std::vector<HANDLE> held;
    int rc = EXIT_DONE;
    for (const auto& [denied, name] : names) {
        Security security(denied);
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, &security.descriptor, FALSE};
        HANDLE mutex = CreateMutexA(&attributes, TRUE, name);
        const DWORD error = GetLastError();
        if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
            held.push_back(mutex);
            continue;
        }
        if (mutex != nullptr)
            CloseHandle(mutex);
        WriteText(readyPath, std::string("error ") + name + " was not new (" + std::to_string(error) + ")\n");
        rc = EXIT_FAILED;
        break;
    }
    if (rc == EXIT_DONE && !WriteText(readyPath, "ready\n"))
        rc = Failed("writing the ready file");
    const DWORD start = GetTickCount();
    while (rc == EXIT_DONE && !Exists(releasePath) && GetTickCount() - start < LONGEST_HOLD_MS) Sleep(POLL_MS);
    for (HANDLE mutex : held) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return rc;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: e2e_prefix install-service EXE | remove-service | set-service STATE START |"
                 " query-service | deny-key KEY | hold READY RELEASE (open|denied NAME)...\n");
    return EXIT_USAGE;
}

// The (open|denied NAME) pairs of hold; false when they are not such pairs.
bool HeldNames(int count, char* words[], std::vector<HeldName>& names) {
    if (count == 0 || count % 2 != 0)
        return false;
    for (int i = 0; i < count; i += 2) {
        const bool denied = std::strcmp(words[i], "denied") == 0;
        if (!denied && std::strcmp(words[i], "open") != 0)
            return false;
        names.push_back({denied, words[i + 1]});
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    _setmode(_fileno(stdout), _O_BINARY);
    const std::string command = argc > 1 ? argv[1] : "";
    constexpr int HOLD_FIRST_PAIR = 4;
    if (command == "install-service" && argc == 3)
        return InstallService(argv[2]);
    if (command == "remove-service" && argc == 2)
        return RemoveService();
    if (command == "set-service" && argc == 4) {
        const int rc = SetService(argv[2], argv[3]);
        return rc == EXIT_USAGE ? Usage() : rc;
    }
    if (command == "query-service" && argc == 2)
        return QueryService();
    if (command == "deny-key" && argc == 3)
        return DenyKey(argv[2]);
    std::vector<HeldName> names;
    if (command == "hold" && argc > HOLD_FIRST_PAIR && HeldNames(argc - HOLD_FIRST_PAIR, argv + HOLD_FIRST_PAIR, names))
        return Hold(argv[2], argv[3], names);
    return Usage();
}
