// The update's pauses: a pause runs its length unless a request the main thread must act on comes,
// a wake-up without one pauses again for what is left, and a condition wait that cannot be made
// still pauses.
#include "pause/pause.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/console_control.h"
#include "sim/machine.h"
#include "sim/threads.h"
#include "sim/tool/runner.h"

namespace {

constexpr DWORD PAUSE_MS = 1000;

// A handler that wakes the pause without recording anything: a spurious wake-up, as Windows allows.
BOOL WINAPI WakeOnly(DWORD) {
    WakePause();
    return TRUE;
}

struct Case {
    const char* name;
    const char* scenario;  // the console events and failures of the run
    UpdateStage stage;     // the stage the update stands in when the pause begins
    bool spuriousWake;     // the event's handler only wakes the pause
    bool ranItsLength;     // Pause's result
    uint64_t endsAtMs;     // the clock when Pause returns
    std::vector<uint32_t> sleeps;
    std::vector<std::string> calls;  // the main thread's calls in the pause, in order
};

TEST(Pause, RunsItsLengthUnlessARequestCutsItShort) {
    const std::vector<std::string> waited = {"AcquireSRWLockExclusive", "GetTickCount64", "SleepConditionVariableSRW",
                                             "GetTickCount64", "ReleaseSRWLockExclusive"};
    const std::vector<Case> cases = {
        {"nothing comes", "{}", UpdateStage::Cancellable, false, true, 1000, {1000}, waited},
        {"a cancel cuts it short",
         R"({"console": {"interrupts": [{"event": "ctrlC", "atMs": 400}]}})",
         UpdateStage::Cancellable,
         false,
         false,
         400,
         {1000},
         waited},
        {"a close cuts it short while the scanner burns",
         R"({"console": {"interrupts": [{"event": "close", "atMs": 400}]}})",
         UpdateStage::Burning,
         false,
         false,
         400,
         {1000},
         waited},
        {"Ctrl+Break while the scanner burns does not",
         R"({"console": {"interrupts": [{"event": "ctrlBreak", "atMs": 400}]}})",
         UpdateStage::Burning,
         false,
         true,
         1000,
         {1000},
         waited},
        {"a wake-up without a request pauses again for what is left",
         R"({"console": {"interrupts": [{"event": "ctrlC", "atMs": 400}]}})",
         UpdateStage::Cancellable,
         true,
         true,
         1000,
         {1000, 600},
         {"AcquireSRWLockExclusive", "GetTickCount64", "SleepConditionVariableSRW", "GetTickCount64",
          "SleepConditionVariableSRW", "GetTickCount64", "ReleaseSRWLockExclusive"}},
        {"a condition wait that cannot be made is slept",
         R"({"failures": [{"call": "SleepConditionVariableSRW"}]})",
         UpdateStage::Cancellable,
         false,
         true,
         1000,
         {1000},
         {"AcquireSRWLockExclusive", "GetTickCount64", "SleepConditionVariableSRW", "GetTickCount64",
          "ReleaseSRWLockExclusive", "Sleep"}},
        {"a timeout that comes at once is not trusted: the rest is slept",
         R"({"failures": [{"call": "SleepConditionVariableSRW", "error": 1460}]})",
         UpdateStage::Cancellable,
         false,
         true,
         1000,
         {1000},
         {"AcquireSRWLockExclusive", "GetTickCount64", "SleepConditionVariableSRW", "GetTickCount64",
          "ReleaseSRWLockExclusive", "Sleep"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::RunOptions options;
        options.journal = true;
        sim::Boot(sim::ParseScenario(c.scenario, "t"), options);
        BeginControlledUpdate();
        if (c.stage == UpdateStage::Burning) {
            ASSERT_TRUE(EnterBurning());
        }
        if (c.spuriousWake) {
            ASSERT_TRUE(SetConsoleCtrlHandler(WakeOnly, TRUE));
        }
        const size_t before = sim::M().journal.size();
        EXPECT_EQ(Pause(PAUSE_MS), c.ranItsLength);
        EXPECT_EQ(sim::M().clock.ElapsedMs(), c.endsAtMs);
        EXPECT_EQ(sim::M().sleeps, c.sleeps);
        std::vector<std::string> calls;
        for (size_t i = before; i < sim::M().journal.size(); ++i)
            if (sim::M().journal[i].thread == 0)
                calls.push_back(sim::M().journal[i].call);
        EXPECT_EQ(calls, c.calls);
        EndControlledUpdate();
        sim::FinishThreads();
        ForgetConsoleRequests();
    }
}

// A request that came before the pause: no wait at all.
TEST(Pause, ARequestAlreadyDueEndsItBeforeItWaits) {
    sim::RunOptions options;
    sim::Boot(sim::ParseScenario("{}", "t"), options);
    WithRequests([](ConsoleRequests& r) {
        r.stage = UpdateStage::Cancellable;
        r.cancelled = true;
    });
    EXPECT_FALSE(Pause(PAUSE_MS));
    EXPECT_EQ(sim::M().clock.ElapsedMs(), 0u);
    EXPECT_TRUE(sim::M().sleeps.empty());
    sim::FinishThreads();
    ForgetConsoleRequests();
}

}  // namespace
