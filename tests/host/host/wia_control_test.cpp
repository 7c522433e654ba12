// CWIAControl against the simulated service manager: readings, stop and disable, restore, the
// bounded waits, the diagnostic line, and the service handles on every path.
#include "host/wia_control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/tool/runner.h"
#include "tests/host/host/boot.h"

namespace {

using hosttest::Boot;
using hosttest::OpenHandles;
using Strings = std::vector<std::string>;
using Sleeps = std::vector<uint32_t>;

Strings ConfigChanges() {
    Strings names;
    for (uint32_t t : sim::M().service.configChanges) names.push_back(std::to_string(t));
    return names;
}

const std::string DISABLED = std::to_string(SERVICE_DISABLED);
const std::string AUTO = std::to_string(SERVICE_AUTO_START);

struct StopCase {
    const char* what;
    const char* scenario;
    int result;
    bool wasActive;
    uint32_t stopRequests;
    Strings configChanges;
    DWORD state;
    DWORD startType;
    Sleeps sleeps;
};

Sleeps Repeat(uint32_t ms, size_t n) {
    return Sleeps(n, ms);
}

TEST(StopAndDisable, ServiceStatesAndWaits) {
    const StopCase cases[] = {
        {"running, automatic start", R"({})", 1, true, 1, {DISABLED}, SERVICE_STOPPED, SERVICE_DISABLED, {1000, 1}},
        {"stopped by the user",
         R"({"service": {"state": "stopped", "startType": "disabled"}})",
         1,
         false,
         0,
         {},
         SERVICE_STOPPED,
         SERVICE_DISABLED,
         {}},
        {"stopped, demand start",
         R"({"service": {"state": "stopped", "startType": "demand"}})",
         1,
         false,
         0,
         {},
         SERVICE_STOPPED,
         SERVICE_DEMAND_START,
         {}},
        {"running, already disabled",
         R"({"service": {"startType": "disabled"}})",
         1,
         true,
         1,
         {},
         SERVICE_STOPPED,
         SERVICE_DISABLED,
         {1000, 1}},
        // The first reading goes by the controls alone, as Wine's stock service shows once it has
        // run: stopped, yet still reporting the controls it accepted while running.
        {"stopped but reporting controls",
         R"({"service": {"state": "stopped", "controlsAccepted": 7}})",
         1,
         true,
         0,
         {DISABLED},
         SERVICE_STOPPED,
         SERVICE_DISABLED,
         {}},
        {"pending but accepting controls",
         R"({"service": {"state": "startPending", "controlsAccepted": 1, "pendingQueries": 5}})",
         1,
         true,
         0,
         {DISABLED},
         SERVICE_START_PENDING,
         SERVICE_DISABLED,
         {}},
        {"paused", R"({"service": {"state": "paused"}})", 1, true, 0, {DISABLED}, SERVICE_PAUSED, SERVICE_DISABLED, {}},
        {"stop not among the accepted controls",
         R"({"service": {"controlsAccepted": 2}})",
         0,
         true,
         1,
         {},
         SERVICE_RUNNING,
         SERVICE_AUTO_START,
         {}},
        {"stop request refused",
         R"({"failures": [{"call": "ControlService"}]})",
         0,
         true,
         1,
         {},
         SERVICE_RUNNING,
         SERVICE_AUTO_START,
         {}},
        {"disabling refused",
         R"({"failures": [{"call": "ChangeServiceConfigA"}]})",
         0,
         true,
         1,
         {DISABLED},
         SERVICE_STOPPED,
         SERVICE_AUTO_START,
         {1000, 1}},
        // The first read after the request already shows the end: it is slept on all the same.
        {"stopped at the first read",
         R"({"service": {"pendingQueries": 0, "waitHint": 2500}})",
         1,
         true,
         1,
         {DISABLED},
         SERVICE_STOPPED,
         SERVICE_DISABLED,
         {1}},
        {"a long stop",
         R"({"service": {"pendingQueries": 3, "waitHint": 2500}})",
         1,
         true,
         1,
         {DISABLED},
         SERVICE_STOPPED,
         SERVICE_DISABLED,
         {2500, 2500, 2500, 1}},
        {"never stops",
         R"({"service": {"pendingQueries": -1}})",
         0,
         true,
         1,
         {},
         SERVICE_STOP_PENDING,
         SERVICE_AUTO_START,
         Repeat(1000, 30)},
        {"huge hint",
         R"({"service": {"pendingQueries": -1, "waitHint": "0xFFFFFFFF"}})",
         0,
         true,
         1,
         {},
         SERVICE_STOP_PENDING,
         SERVICE_AUTO_START,
         {30000}},
        {"hint cut to the time left",
         R"({"service": {"pendingQueries": -1, "waitHint": 7000}})",
         0,
         true,
         1,
         {},
         SERVICE_STOP_PENDING,
         SERVICE_AUTO_START,
         {7000, 7000, 7000, 7000, 2000}},
        // The state read is tested before the time: the limit ends only a wait still pending.
        {"limit reached while pending",
         R"({"service": {"pendingQueries": 1, "waitHint": 30000}})",
         0,
         true,
         1,
         {},
         SERVICE_STOP_PENDING,
         SERVICE_AUTO_START,
         {30000}},
        {"stopped just inside the limit",
         R"({"service": {"pendingQueries": 1, "waitHint": 29999}})",
         1,
         true,
         1,
         {DISABLED},
         SERVICE_STOPPED,
         SERVICE_DISABLED,
         {29999, 1}},
        {"tick count wraps during the wait",
         R"({"tickStart": "0xFFFFFC18", "service": {"pendingQueries": 3}})",
         1,
         true,
         1,
         {DISABLED},
         SERVICE_STOPPED,
         SERVICE_DISABLED,
         {1000, 1000, 1000, 1}},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(c.scenario);
        {
            CWIAControl wia;
            bool wasActive = !c.wasActive;
            testing::internal::CaptureStdout();
            EXPECT_EQ(wia.StopAndDisable(wasActive), c.result);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
            EXPECT_EQ(wasActive, c.wasActive);
        }
        const sim::ServiceArea& s = sim::M().service;
        EXPECT_EQ(s.stopRequests, c.stopRequests);
        EXPECT_EQ(s.startRequests, 0u);
        EXPECT_EQ(ConfigChanges(), c.configChanges);
        EXPECT_EQ(s.state, c.state);
        EXPECT_EQ(s.startType, c.startType);
        EXPECT_EQ(sim::M().sleeps, c.sleeps);
        EXPECT_EQ(OpenHandles("manager"), 0);
        EXPECT_EQ(OpenHandles("service"), 0);
        EXPECT_EQ(sim::M().localBlocks, 0);
    }
}

TEST(StopAndDisable, FirstReadingFailures) {
    const struct {
        const char* what;
        const char* scenario;
        bool wasActive;
        int result;
        uint32_t stopRequests;
    } cases[] = {
        // Only a service that does not exist is known to be inactive.
        {"service does not exist", R"({"service": {"exists": false}})", false, 1, 0},
        {"OpenServiceA fails with 1060", R"({"failures": [{"call": "OpenServiceA", "error": 1060}]})", false, 1, 0},
        {"manager refused", R"({"service": {"managerAccess": "denied"}})", true, 0, 0},
        {"service refused", R"({"service": {"serviceAccess": "denied"}})", true, 0, 0},
        {"manager fails every time", R"({"failures": [{"call": "OpenSCManagerA", "count": 0}]})", true, 0, 0},
        // Once: the later steps open the handles again and do their work.
        {"OpenServiceA fails once", R"({"failures": [{"call": "OpenServiceA", "error": 5}]})", true, 1, 1},
        {"status read fails once", R"({"failures": [{"call": "QueryServiceStatus"}]})", true, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(c.scenario);
        CWIAControl wia;
        bool wasActive = !c.wasActive;
        testing::internal::CaptureStdout();
        EXPECT_EQ(wia.StopAndDisable(wasActive), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(wasActive, c.wasActive);
        EXPECT_EQ(sim::M().service.stopRequests, c.stopRequests);
        if (c.result == 0 || !c.wasActive) {
            // Nothing could be opened, or the manager was closed again after OpenServiceA failed.
            EXPECT_EQ(wia.m_hSCManager, nullptr);
            EXPECT_EQ(wia.m_hService, nullptr);
            EXPECT_EQ(OpenHandles("manager"), 0);
            EXPECT_EQ(OpenHandles("service"), 0);
        }
    }
}

TEST(QueryStatus, FailuresCloseWhatWasOpened) {
    const struct {
        const char* what;
        const char* scenario;
        uint32_t closes;
    } cases[] = {
        {"manager refused", R"({"service": {"managerAccess": "denied"}})", 0},
        {"service missing", R"({"service": {"exists": false}})", 1},
        {"status read fails", R"({"failures": [{"call": "QueryServiceStatus"}]})", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(c.scenario);
        CWIAControl wia;
        SERVICE_STATUS out;
        std::memset(&out, 0xAB, sizeof out);
        const SERVICE_STATUS untouched = out;
        EXPECT_EQ(wia.QueryStatus(&out), 0);
        EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0);
        EXPECT_EQ(wia.m_hSCManager, nullptr);
        EXPECT_EQ(wia.m_hService, nullptr);
        EXPECT_EQ(hosttest::Calls("CloseServiceHandle"), c.closes);
        EXPECT_EQ(OpenHandles("manager") + OpenHandles("service"), 0);
    }
}

TEST(QueryStatus, CopiesTheWholeRecordAndReopensAfterAFailure) {
    Boot(R"({"service": {"state": "startPending", "pendingQueries": 5, "waitHint": 4321, "controlsAccepted": 1},
             "failures": [{"call": "QueryServiceStatus"}]})");
    CWIAControl wia;
    SERVICE_STATUS out{};
    EXPECT_EQ(wia.QueryStatus(&out), 0);
    ASSERT_EQ(wia.QueryStatus(&out), 1);
    EXPECT_EQ(std::memcmp(&out, &wia.m_status, sizeof out), 0);
    EXPECT_EQ(out.dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(out.dwWaitHint, 4321u);
    EXPECT_EQ(out.dwControlsAccepted, 1u);
    EXPECT_EQ(out.dwCheckPoint, 1u);
    EXPECT_EQ(out.dwServiceType, SERVICE_WIN32_SHARE_PROCESS);
    EXPECT_EQ(OpenHandles("manager"), 1);
    EXPECT_EQ(OpenHandles("service"), 1);
    EXPECT_EQ(hosttest::Calls("OpenSCManagerA"), 2u);
    // Open handles are kept: a second reading opens nothing.
    EXPECT_EQ(wia.QueryStatus(&wia.m_status), 1);
    EXPECT_EQ(hosttest::Calls("OpenSCManagerA"), 2u);
}

TEST(QueryStatus, NullRecordDoesNothing) {
    Boot("{}");
    CWIAControl wia;
    EXPECT_EQ(wia.QueryStatus(nullptr), 0);
    EXPECT_TRUE(sim::M().journal.empty());
}

TEST(CWIAControl, DestructorClosesManagerFirst) {
    // The first close fails and leaves its handle open: it shows which handle went first.
    Boot(R"({"failures": [{"call": "CloseServiceHandle"}]})");
    {
        CWIAControl wia;
        SERVICE_STATUS out;
        ASSERT_EQ(wia.QueryStatus(&out), 1);
    }
    EXPECT_EQ(OpenHandles("manager"), 1);
    EXPECT_EQ(OpenHandles("service"), 0);
    EXPECT_EQ(hosttest::Calls("CloseServiceHandle"), 2u);
}

TEST(SetStartType, DiagnosticLineAndBuffer) {
    const struct {
        const char* what;
        const char* scenario;
        int result;
        std::string output;
        Strings configChanges;
        int handlesLeftOpen;  // of each kind, while the object lives
    } cases[] = {
        {"changed", R"({})", 1, "", {DISABLED}, 1},
        {"already equal", R"({"service": {"startType": "disabled"}})", 1, "", {}, 1},
        {"sizing call fails otherwise",
         R"({"failures": [{"call": "QueryServiceConfigA", "error": 5}]})",
         0,
         "QueryServiceConfig failed (5)",
         {},
         1},
        {"code printed signed",
         R"({"failures": [{"call": "QueryServiceConfigA", "error": "0x80070005"}]})",
         0,
         "QueryServiceConfig failed (-2147024891)",
         {},
         1},
        {"reading call fails",
         R"({"failures": [{"call": "QueryServiceConfigA", "nth": 2, "error": 1234}]})",
         0,
         "QueryServiceConfig failed (1234)",
         {},
         1},
        // Without a buffer the reading call is made all the same; its own error is the one told.
        {"no buffer", R"({"failures": [{"call": "LocalAlloc"}]})", 0, "QueryServiceConfig failed (122)", {}, 1},
        {"change refused", R"({"failures": [{"call": "ChangeServiceConfigA"}]})", 0, "", {DISABLED}, 1},
        {"handles cannot be opened", R"({"service": {"serviceAccess": "denied"}})", 0, "", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(c.scenario);
        CWIAControl wia;
        testing::internal::CaptureStdout();
        EXPECT_EQ(wia.SetStartType(SERVICE_DISABLED), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
        EXPECT_EQ(ConfigChanges(), c.configChanges);
        EXPECT_EQ(sim::M().localBlocks, 0);
        // A failing configuration read leaves the handles open for the next operation.
        EXPECT_EQ(OpenHandles("manager"), c.handlesLeftOpen);
        EXPECT_EQ(OpenHandles("service"), c.handlesLeftOpen);
    }
}

TEST(SetStartType, DiagnosticRunsIntoTheFailureMessage) {
    sim::Scenario s = sim::ParseScenario(
        R"({"devices": [{"index": 0}], "failures": [{"call": "QueryServiceConfigA", "error": 5}]})", "t");
    sim::RunResult r = sim::RunUpdater(s, sim::RunOptions{}, true);
    // Error 5 is a lack of rights, which the user is told about before the failure itself.
    EXPECT_NE(
        r.output.find("QueryServiceConfig failed (5)Access denied!! Please run this program as "
                      "administrator!!\n\nFailed to close WIA!! Please restart your computer and update again!!\n"),
        std::string::npos)
        << r.output;
    EXPECT_EQ(r.report["service"]["startType"], "auto");
    EXPECT_EQ(r.report["service"]["startRequests"], 0);
    EXPECT_EQ(r.report["openHandles"]["manager"], 0);
    EXPECT_EQ(r.report["openHandles"]["service"], 0);
}

TEST(RestoreService, AfterStopAndDisable) {
    Boot("{}");
    CWIAControl wia;
    bool wasActive = false;
    ASSERT_EQ(wia.StopAndDisable(wasActive), 1);
    sim::M().sleeps.clear();
    EXPECT_EQ(wia.RestoreService(), 1);
    EXPECT_EQ(ConfigChanges(), (Strings{DISABLED, AUTO}));
    EXPECT_EQ(sim::M().service.startRequests, 1u);
    EXPECT_EQ(sim::M().service.state, SERVICE_RUNNING);
    EXPECT_EQ(sim::M().service.startType, SERVICE_AUTO_START);
    EXPECT_EQ(sim::M().sleeps, (Sleeps{1000, 1}));
}

TEST(RestoreService, StatesAndFailures) {
    const struct {
        const char* what;
        const char* scenario;
        int result;
        uint32_t startRequests;
        DWORD state;
        DWORD startType;
        Sleeps sleeps;
    } cases[] = {
        {"already running", R"({"service": {"startType": "demand"}})", 1, 0, SERVICE_RUNNING, SERVICE_AUTO_START, {}},
        {"pending",
         R"({"service": {"state": "stopPending", "pendingQueries": -1}})",
         1,
         0,
         SERVICE_STOP_PENDING,
         SERVICE_AUTO_START,
         {}},
        {"stopped and disabled",
         R"({"service": {"state": "stopped", "startType": "disabled", "waitHint": 300}})",
         1,
         1,
         SERVICE_RUNNING,
         SERVICE_AUTO_START,
         {300, 1}},
        {"start refused",
         R"({"service": {"state": "stopped"}, "failures": [{"call": "StartServiceA"}]})",
         0,
         1,
         SERVICE_STOPPED,
         SERVICE_AUTO_START,
         {}},
        {"automatic start refused",
         R"({"service": {"state": "stopped", "startType": "disabled"},
             "failures": [{"call": "ChangeServiceConfigA"}]})",
         0,
         0,
         SERVICE_STOPPED,
         SERVICE_DISABLED,
         {}},
        // The opening read of SetStartType is the first; the second decides on the start.
        {"status unreadable after setting",
         R"({"service": {"state": "stopped"}, "failures": [{"call": "QueryServiceStatus", "nth": 2}]})",
         1,
         0,
         SERVICE_STOPPED,
         SERVICE_AUTO_START,
         {}},
        {"never runs", R"({"service": {"state": "stopped", "pendingQueries": -1}})", 1, 1, SERVICE_START_PENDING,
         SERVICE_AUTO_START, Repeat(1000, 30)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(c.scenario);
        {
            CWIAControl wia;
            testing::internal::CaptureStdout();
            EXPECT_EQ(wia.RestoreService(), c.result);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        }
        EXPECT_EQ(sim::M().service.startRequests, c.startRequests);
        EXPECT_EQ(sim::M().service.state, c.state);
        EXPECT_EQ(sim::M().service.startType, c.startType);
        EXPECT_EQ(sim::M().sleeps, c.sleeps);
        EXPECT_EQ(OpenHandles("manager") + OpenHandles("service"), 0);
    }
}

TEST(RestoreService, FailedReadEndsTheStartWaitAndClosesNothing) {
    // Reads: SetStartType's opening one, the one before the start, then two in the wait.
    Boot(R"({"service": {"state": "stopped"}, "failures": [{"call": "QueryServiceStatus", "nth": 4}]})");
    CWIAControl wia;
    EXPECT_EQ(wia.RestoreService(), 1);
    EXPECT_EQ(sim::M().sleeps, (Sleeps{1000}));
    EXPECT_NE(wia.m_hService, nullptr);
    EXPECT_EQ(OpenHandles("manager"), 1);
    EXPECT_EQ(OpenHandles("service"), 1);
}

}  // namespace
