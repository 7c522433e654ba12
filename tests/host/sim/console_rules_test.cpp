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

// The lock and condition variable that the handler and the main thread share, as the product
// uses them: the handler takes the lock, may wake the condition, and gives the lock back.
SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_condition = CONDITION_VARIABLE_INIT;
bool g_wakes = true;
BOOL WINAPI Waker(DWORD) {
    AcquireSRWLockExclusive(&g_lock);
    if (g_wakes)
        WakeAllConditionVariable(&g_condition);
    ReleaseSRWLockExclusive(&g_lock);
    return TRUE;
}

// The main thread's condition waits, as the scheduler serves them: each with the milliseconds it
// asks for, its result and the clock when it returns.
struct Wait {
    DWORD ms;
    BOOL result;
    DWORD error;  // after FALSE
    uint64_t returnsAtMs;
};

TEST(ConsoleEvents, ConditionWaitsAndTheLockAsTheSchedulerServesThem) {
    struct Case {
        const char* name;
        bool handlerWakes;
        bool holdLockAcrossEvent;  // the main thread holds the lock when the event comes
        std::vector<Wait> waits;
        std::vector<uint32_t> sleeps;
    };
    const std::vector<Case> cases = {
        {"a wake cuts the wait short at the event",
         true,
         false,
         {{1000, FALSE, ERROR_TIMEOUT, 1000}, {4000, TRUE, 0, 2500}, {1000, FALSE, ERROR_TIMEOUT, 3500}},
         {1000, 4000, 1000}},
        {"a handler that takes the lock without waking changes nothing",
         false,
         false,
         {{1000, FALSE, ERROR_TIMEOUT, 1000}, {4000, FALSE, ERROR_TIMEOUT, 5000}},
         {1000, 4000}},
        {"a handler that finds the lock held waits for it, then wakes the next wait at once",
         true,
         true,
         {{1000, TRUE, 0, 3000}},
         {1000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_wakes = c.handlerWakes;
        sim::Boot(sim::ParseScenario(R"({"console": {"interrupts": [{"event": "ctrlC", "atMs": 2500}]}})", "t"),
                  sim::RunOptions{});
        ASSERT_TRUE(SetConsoleCtrlHandler(Waker, TRUE));
        AcquireSRWLockExclusive(&g_lock);
        if (c.holdLockAcrossEvent) {
            // A pause that is no condition wait: the lock stays held across the event, so the
            // handler can only record it once the lock is given up in the wait below; the wake
            // then finds the main thread waiting.
            ReleaseSRWLockExclusive(&g_lock);
            AcquireSRWLockExclusive(&g_lock);
            Sleep(3000);
        }
        for (const Wait& w : c.waits) {
            SetLastError(0);
            EXPECT_EQ(SleepConditionVariableSRW(&g_condition, &g_lock, w.ms, 0), w.result);
            if (!w.result) {
                EXPECT_EQ(GetLastError(), w.error);
            }
            EXPECT_EQ(sim::M().clock.ElapsedMs(), w.returnsAtMs);
        }
        ReleaseSRWLockExclusive(&g_lock);
        std::vector<uint32_t> sleeps = c.sleeps;
        if (c.holdLockAcrossEvent)
            sleeps.insert(sleeps.begin(), 3000);
        EXPECT_EQ(sim::M().sleeps, sleeps);
        sim::FinishThreads();
        EXPECT_EQ(sim::HowProcessEnded(), sim::ProcessEnd::Return);
        EXPECT_TRUE(sim::M().sync.owners.empty()) << "every lock given back";
    }
}

// A wait that no thread can ever end: the scheduler ends the process instead of hanging the run.
TEST(ConsoleEvents, AConditionWaitForEverWithNoOneToWakeItEndsTheProcess) {
    sim::Boot(sim::ParseScenario("{}", "t"), sim::RunOptions{});
    AcquireSRWLockExclusive(&g_lock);
    EXPECT_FALSE(SleepConditionVariableSRW(&g_condition, &g_lock, INFINITE, 0));
    EXPECT_EQ(sim::HowProcessEnded(), sim::ProcessEnd::Terminated);
    ReleaseSRWLockExclusive(&g_lock);
    sim::FinishThreads();
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
