// The simulated service manager, registry and named mutexes keep Windows' rules: the updater's
// tests are only as good as these.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "sim/report.h"
#include "tests/host/host/boot.h"

namespace {

using hosttest::Boot;

SC_HANDLE OpenService(DWORD access) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_EXECUTE);
    return manager == nullptr ? nullptr : OpenServiceA(manager, "StiSvc", access);
}

TEST(SimService, OpenServiceRules) {
    const struct {
        const char* scenario;
        const char* name;
        DWORD error;
    } cases[] = {
        {R"({"service": {"exists": false, "serviceAccess": "denied"}})", "STISVC", ERROR_SERVICE_DOES_NOT_EXIST},
        {R"({"service": {"serviceAccess": "denied"}})", "STISVC", ERROR_ACCESS_DENIED},
        {R"({})", "WiaRpc", ERROR_SERVICE_DOES_NOT_EXIST},
        {R"({})", "stisvc", ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        Boot(c.scenario);
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_EXECUTE);
        ASSERT_NE(manager, nullptr);
        SC_HANDLE service = OpenServiceA(manager, c.name, SERVICE_QUERY_STATUS);
        EXPECT_EQ(service != nullptr, c.error == ERROR_SUCCESS);
        EXPECT_EQ(service != nullptr ? ERROR_SUCCESS : GetLastError(), c.error);
    }
    Boot(R"({"service": {"managerAccess": "denied"}})");
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, GENERIC_EXECUTE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(SimService, EachCallNeedsItsRight) {
    Boot(R"({"service": {"state": "stopped"}})");
    SC_HANDLE queryOnly = OpenService(SERVICE_QUERY_STATUS);
    ASSERT_NE(queryOnly, nullptr);
    SERVICE_STATUS status;
    DWORD needed = 0;
    EXPECT_FALSE(ChangeServiceConfigA(queryOnly, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(StartServiceA(queryOnly, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ControlService(queryOnly, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(QueryServiceConfigA(queryOnly, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // GENERIC_EXECUTE on a service maps to start and stop, but not to reading its status.
    SC_HANDLE execute = OpenService(GENERIC_EXECUTE);
    EXPECT_TRUE(StartServiceA(execute, 0, nullptr));
    EXPECT_FALSE(QueryServiceStatus(execute, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Service handles are not kernel handles.
    EXPECT_FALSE(CloseHandle(execute));
    EXPECT_TRUE(CloseServiceHandle(execute));
    EXPECT_FALSE(CloseServiceHandle(execute));
}

TEST(SimService, ControlAndStartRefusals) {
    const struct {
        const char* scenario;
        bool stop;  // else start
        DWORD error;
    } cases[] = {
        {R"({"service": {"state": "stopped"}})", true, ERROR_SERVICE_NOT_ACTIVE},
        {R"({"service": {"controlsAccepted": 6}})", true, ERROR_INVALID_SERVICE_CONTROL},
        {R"({"service": {"state": "stopped", "startType": "disabled"}})", false, ERROR_SERVICE_DISABLED},
        {R"({"service": {"startType": "disabled"}})", false, ERROR_SERVICE_DISABLED},
        {R"({})", false, ERROR_SERVICE_ALREADY_RUNNING},
        {R"({"service": {"state": "stopPending", "pendingQueries": -1}})", false, ERROR_SERVICE_ALREADY_RUNNING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        Boot(c.scenario);
        SC_HANDLE service = OpenService(SERVICE_ALL_ACCESS);
        SERVICE_STATUS status{};
        EXPECT_FALSE(c.stop ? ControlService(service, SERVICE_CONTROL_STOP, &status)
                            : StartServiceA(service, 0, nullptr));
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST(SimService, PendingStatesLastTheirReads) {
    Boot(R"({"service": {"pendingQueries": 2, "waitHint": 700}})");
    SC_HANDLE service = OpenService(SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(status.dwWaitHint, 700u);
    const DWORD expected[] = {SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED, SERVICE_STOPPED};
    for (DWORD state : expected) {
        ASSERT_TRUE(QueryServiceStatus(service, &status));
        EXPECT_EQ(status.dwCurrentState, state);
    }
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    EXPECT_EQ(status.dwWaitHint, 0u);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    for (DWORD state : {SERVICE_START_PENDING, SERVICE_START_PENDING, SERVICE_RUNNING}) {
        ASSERT_TRUE(QueryServiceStatus(service, &status));
        EXPECT_EQ(status.dwCurrentState, state);
    }
    EXPECT_EQ(status.dwControlsAccepted, 7u);
}

TEST(SimService, ConfigSizingAndChange) {
    Boot(R"({"service": {"startType": "demand"}})");
    SC_HANDLE service = OpenService(SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfigA(service, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 200u);
    alignas(QUERY_SERVICE_CONFIGA) char buffer[200];
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    EXPECT_FALSE(QueryServiceConfigA(service, config, 199, &needed));
    ASSERT_TRUE(QueryServiceConfigA(service, config, 200, &needed));
    EXPECT_EQ(config->dwStartType, SERVICE_DEMAND_START);
    EXPECT_STREQ(config->lpDisplayName, "Windows Image Acquisition (WIA)");
    // Anything but the start type is refused, so a caller changing more is caught.
    EXPECT_FALSE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, "x.exe", nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(QueryServiceConfigA(service, config, 200, &needed));
    EXPECT_EQ(config->dwStartType, SERVICE_DISABLED);
    nlohmann::json report = sim::BuildReport(0)["service"];
    EXPECT_EQ(report, (nlohmann::json{{"state", "running"},
                                      {"startType", "disabled"},
                                      {"stopRequests", 0},
                                      {"startRequests", 0},
                                      {"configChanges", {"disabled", "disabled"}}}));
}

const char* CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";

TEST(SimRegistry, ValueReads) {
    Boot(R"({"imagingDevices": {"0007": {"FriendlyName": "Scanner", "Count": {"type": "REG_DWORD", "data": 9}},
                                "0008": {"access": "denied"}}})");
    HKEY key = nullptr;
    const std::string base = CLASS_KEY;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (base + "\\0008").c_str(), 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (base + "\\0009").c_str(), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (base + "\\0007").c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    char data[16] = "untouched";
    DWORD type = 0;
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "friendlyname", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(data, "untouched");
    size = sizeof data;
    type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(RegQueryValueExA(key, "Count", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_FALSE(CloseHandle(key));  // a registry key is not a kernel handle
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(hosttest::OpenHandles("key"), 0);
}

TEST(SimMutex, ExistingMutexes) {
    Boot(R"({"mutexes": [{"name": "Held"}, {"name": "Leaves", "releaseAfterMs": 500}]})");
    HANDLE held = CreateMutexA(nullptr, TRUE, "Held");
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(ReleaseMutex(held));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    // Another namespace is another mutex.
    EXPECT_NE(CreateMutexA(nullptr, TRUE, "Global\\Held"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    // An object directory that does not exist.
    EXPECT_EQ(CreateMutexA(nullptr, TRUE, "Global\\Held\\x"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // Kept alive by this process's handle after the other one has gone.
    HANDLE leaves = CreateMutexA(nullptr, TRUE, "Leaves");
    Sleep(500);
    HANDLE again = CreateMutexA(nullptr, TRUE, "Leaves");
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(leaves));
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_EQ(sim::BuildReport(0)["mutexes"]["Leaves"]["created"], false);
}

TEST(SimMutex, NameGoesWithTheLastHandle) {
    Boot(R"({"mutexes": [{"name": "Leaves", "releaseAfterMs": 500}]})");
    HANDLE first = CreateMutexA(nullptr, TRUE, "Leaves");
    Sleep(500);
    EXPECT_TRUE(CloseHandle(first));
    HANDLE mine = CreateMutexA(nullptr, TRUE, "Leaves");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(sim::BuildReport(0)["mutexes"]["Leaves"], (nlohmann::json{{"created", true}, {"ownedAtExit", true}}));
    EXPECT_TRUE(ReleaseMutex(mine));
    EXPECT_FALSE(ReleaseMutex(mine));
    EXPECT_EQ(sim::BuildReport(0)["mutexes"]["Leaves"]["ownedAtExit"], false);
}

}  // namespace
