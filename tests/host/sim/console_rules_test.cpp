// How the simulated host delivers console control events: on a thread of its own, to the handlers
// the latest first, ending the process as Windows does when none keeps it, after a close when the
// handler returns, and 5 s after a close at the latest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/builtin_scenarios.h"
#include "sim/machine.h"
#include "sim/threads.h"
#include "sim/tool/runner.h"

namespace {

struct Call {
    int handler;
    DWORD event;
    bool onMainThread;
};
std::vector<Call> g_calls;
BOOL g_firstKeeps = TRUE;
DWORD g_firstSleepsMs = 0;

BOOL WINAPI First(DWORD event) {
    g_calls.push_back({1, event, sim::OnMainThread()});
    if (g_firstSleepsMs > 0)
        Sleep(g_firstSleepsMs);
    return g_firstKeeps;
}
BOOL WINAPI Second(DWORD event) {
    g_calls.push_back({2, event, sim::OnMainThread()});
    return FALSE;
}

struct Case {
    const char* name;
    const char* interrupts;
    std::vector<PHANDLER_ROUTINE> install;
    BOOL firstKeeps;
    DWORD firstSleepsMs;
    // Expected:
    std::vector<int> handlersCalled;
    DWORD event;
    bool terminated;
    uint64_t endMs;  // when the main thread's 10 s pause ends: early when the process ends
};

TEST(ConsoleEvents, DeliveredAsWindowsDeliversThem) {
    const Case cases[] = {
        {"no handler: ended at once", R"([{"event": "ctrlC", "atMs": 500}])", {}, TRUE, 0, {}, 0, true, 500},
        {"a handler that keeps it",
         R"([{"event": "ctrlC", "atMs": 500}])",
         {First},
         TRUE,
         0,
         {1},
         CTRL_C_EVENT,
         false,
         10000},
        {"the latest first, until one keeps it",
         R"([{"event": "ctrlBreak", "atMs": 500}])",
         {First, Second},
         TRUE,
         0,
         {2, 1},
         CTRL_BREAK_EVENT,
         false,
         10000},
        {"none keeps it",
         R"([{"event": "ctrlC", "atMs": 500}])",
         {First, Second},
         FALSE,
         0,
         {2, 1},
         CTRL_C_EVENT,
         true,
         500},
        {"a close ends it when the handler returns",
         R"([{"event": "close", "atMs": 500}])",
         {First},
         TRUE,
         1500,
         {1},
         CTRL_CLOSE_EVENT,
         true,
         2000},
        {"a close ends it 5 s after the event",
         R"([{"event": "close", "atMs": 500}])",
         {First},
         TRUE,
         60000,
         {1},
         CTRL_CLOSE_EVENT,
         true,
         5500},
        {"an event after the pause waits for the next call",
         R"([{"event": "ctrlC", "atMs": 20000}])",
         {},
         TRUE,
         0,
         {},
         0,
         false,
         10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_calls.clear();
        g_firstKeeps = c.firstKeeps;
        g_firstSleepsMs = c.firstSleepsMs;
        sim::Boot(sim::ParseScenario(std::string(R"({"console": {"interrupts": )") + c.interrupts + "}}", "t"),
                  sim::RunOptions{});
        for (PHANDLER_ROUTINE h : c.install) ASSERT_TRUE(SetConsoleCtrlHandler(h, TRUE));
        Sleep(10000);
        EXPECT_EQ(sim::M().clock.ElapsedMs(), c.endMs);
        EXPECT_EQ(sim::HowProcessEnded() == sim::ProcessEnd::Terminated, c.terminated);
        sim::FinishThreads();
        std::vector<int> called;
        for (const Call& call : g_calls) {
            called.push_back(call.handler);
            EXPECT_EQ(call.event, c.event);
            EXPECT_FALSE(call.onMainThread) << "handlers run on a thread of their own";
        }
        EXPECT_EQ(called, c.handlersCalled);
        // Only the main thread's pauses are the updater's pauses.
        EXPECT_EQ(sim::M().sleeps, std::vector<uint32_t>{10000});
    }
}

// A manual-reset event that the handler sets wakes the main thread's timed wait at once.
HANDLE g_wake = nullptr;
BOOL WINAPI Waker(DWORD) {
    SetEvent(g_wake);
    return TRUE;
}

TEST(ConsoleEvents, AHandlerCutsAPauseOnAnEventShort) {
    sim::Boot(sim::ParseScenario(R"({"console": {"interrupts": [{"event": "ctrlC", "atMs": 2500}]}})", "t"),
              sim::RunOptions{});
    g_wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(SetConsoleCtrlHandler(Waker, TRUE));
    EXPECT_EQ(WaitForSingleObject(g_wake, 1000), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(g_wake, 4000), WAIT_OBJECT_0);
    EXPECT_EQ(sim::M().clock.ElapsedMs(), 2500u);
    // A manual-reset event stays set until it is reset.
    EXPECT_EQ(WaitForSingleObject(g_wake, 1000), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(g_wake));
    EXPECT_EQ(WaitForSingleObject(g_wake, 1000), WAIT_TIMEOUT);
    EXPECT_EQ(sim::M().sleeps, (std::vector<uint32_t>{1000, 4000, 1000, 1000}));
    CloseHandle(g_wake);
    sim::FinishThreads();
    EXPECT_EQ(sim::HowProcessEnded(), sim::ProcessEnd::Return);
}

}  // namespace

// On the virtual clock a run that would go on for ever stops at its limit, with what it did so far.
TEST(RunLimit, AVirtualRunStopsAtItsLimitWithTheReportSoFar) {
    sim::RunOptions options;
    options.limitMs = 2500;
    const sim::RunResult r =
        sim::RunUpdater(sim::ParseScenario(sim::FindBuiltinScenario("not-responding")->json, "t"), options, true);
    EXPECT_EQ(r.ended, sim::ProcessEnd::TimeLimit);
    EXPECT_EQ(r.report["ended"], "timeLimit");
    EXPECT_TRUE(r.report["exitCode"].is_null());
    EXPECT_EQ(r.report["elapsedMs"], 2500);
    // The stop wait (1001 ms), then the busy polls whose pauses began before the limit.
    EXPECT_EQ(r.report["device"]["commands"].size(), 2u);
    EXPECT_EQ(r.report["messages"], nlohmann::json({2, 27, 11, 11}));
}
