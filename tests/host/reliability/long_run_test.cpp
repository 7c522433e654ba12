// A scanner that burns for 100,000 polls (more than 27 hours on the virtual clock): at every pause
// of the progress phase the updater holds the same handles and no local memory, and after the run
// the process has not grown.
//
// The pauses are observed by wrapping the updater's calls of SleepConditionVariableSRW at link time
// (-Wl,--wrap, see CMakeLists.txt): a pause is the main thread's condition wait, which a console
// event would wake. The wrapper takes its sample, then lets the simulated wait run as usual.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "app/message_texts.h"
#include "app/messages.h"
#include "app/update_sequence.h"
#include "sim/builtin_scenarios.h"
#include "sim/tool/runner.h"
#include "sweep_oracle.h"

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer's allocator keeps its own count (its header is not shipped with GCC).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#include <malloc.h>
#endif

// The wrapped symbol is the mangled name of
// `int SleepConditionVariableSRW(_RTL_CONDITION_VARIABLE*, _RTL_SRWLOCK*, unsigned int, unsigned int)`.
static_assert(
    std::is_same_v<DWORD, unsigned int> && std::is_same_v<ULONG, unsigned int>,
    "SleepConditionVariableSRW is wrapped as _Z25SleepConditionVariableSRWP23_RTL_CONDITION_VARIABLEP12_RTL_SRWLOCKjj");

namespace {

constexpr int PROGRESS_POLLS = 100000;
constexpr int WARM_UP_POLLS = 10;
constexpr uint8_t STATE_BURNING = 7;
constexpr int PERCENT_STEPS = 100;
// The process may end a run with a little more heap for reasons of its own (a few kilobytes of
// the C library's bookkeeping, whatever the run's length); anything growing with the polls, even
// the smallest block per poll, comes to megabytes.
constexpr long long HEAP_SLACK_BYTES = PROGRESS_POLLS;  // under one byte a poll

size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// What the pauses of the progress phase saw: the range of each open-handle count, and the most
// local memory blocks held.
struct PauseSamples {
    bool inProgress = false;  // from the pause after the image write to the service's restart
    int pauses = 0;
    std::map<std::string, std::pair<int, int>> handles;  // kind: lowest, highest
    int64_t mostLocalBlocks = 0;
};
PauseSamples* g_samples = nullptr;

void Sample(DWORD ms) {
    if (g_samples == nullptr)
        return;
    PauseSamples& s = *g_samples;
    if (ms == POST_WRITE_PAUSE_MS)
        s.inProgress = true;
    // The restore's waits for the service come after the progress phase.
    if (sim::M().service.startRequests > 0)
        s.inProgress = false;
    if (!s.inProgress || ms != PROGRESS_POLL_MS)
        return;
    ++s.pauses;
    for (const auto& [kind, count] : sim::OpenHandleCounts()) {
        auto [it, first] = s.handles.emplace(kind, std::make_pair(count, count));
        if (!first)
            it->second = {std::min(it->second.first, count), std::max(it->second.second, count)};
    }
    s.mostLocalBlocks = std::max(s.mostLocalBlocks, sim::M().localBlocks);
}

}  // namespace

extern "C" BOOL __real__Z25SleepConditionVariableSRWP23_RTL_CONDITION_VARIABLEP12_RTL_SRWLOCKjj(
    PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD ms, ULONG flags);
extern "C" BOOL __wrap__Z25SleepConditionVariableSRWP23_RTL_CONDITION_VARIABLEP12_RTL_SRWLOCKjj(
    PCONDITION_VARIABLE condition, PSRWLOCK lock, DWORD ms, ULONG flags) {
    if (sim::OnMainThread())
        Sample(ms);
    return __real__Z25SleepConditionVariableSRWP23_RTL_CONDITION_VARIABLEP12_RTL_SRWLOCKjj(condition, lock, ms, flags);
}

namespace {

// The built-in update with a burn of `polls` progress replies, then done.
sim::Scenario LongBurn(int polls) {
    sim::Scenario s = sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "long-burn");
    std::vector<sim::ReplyBytes>& progress = s.devices.at(0).scanner.progress;
    progress.clear();
    for (int i = 0; i < polls; ++i)
        progress.push_back(sim::MakeReply(0, STATE_BURNING, static_cast<uint8_t>(i % PERCENT_STEPS), 0));
    progress.push_back(sim::MakeReply(0, 0, PERCENT_STEPS, 0));
    return s;
}

sim::RunOptions Options() {
    sim::RunOptions o;
    o.hashImages = false;
    // More than a day of burning on the virtual clock: beyond the usual limit of a run.
    o.limitMs = 2ull * PROGRESS_POLLS * PROGRESS_POLL_MS;
    return o;
}

// Forgets the last run, as the end of its process would.
void ForgetRun() {
    sim::FreeLeftoverLocalBlocks();
    sim::M() = sim::Machine{};
}

TEST(LongRun, HundredThousandProgressPollsInConstantResources) {
    const sim::Scenario warmUp = LongBurn(WARM_UP_POLLS);
    const sim::Scenario longBurn = LongBurn(PROGRESS_POLLS);
    PauseSamples samples;
    // Images, output buffers and the like are made once per process: the warm-up makes them.
    sim::RunUpdater(warmUp, Options(), true);
    ForgetRun();
    const size_t heapBefore = HeapInUse();
    {
        g_samples = &samples;
        const sim::RunResult run = sim::RunUpdater(longBurn, Options(), true);
        g_samples = nullptr;

        for (const std::string& p : sweep::CheckPromises(run, {}, std::nullopt)) ADD_FAILURE() << p;
        EXPECT_EQ(sweep::FinalMessage(run.output, LANGUAGE_ENGLISH), MSG_BURN_DONE);
        // One line per poll, each rewriting the one before, then the completion line.
        const size_t returns = std::count(run.output.begin(), run.output.end(), '\r');
        EXPECT_EQ(returns, static_cast<size_t>(PROGRESS_POLLS) + 1);
        char last[64];
        std::snprintf(last, sizeof last, ProgressFormat(PROGRESS_POLLS), ProgressTitle(LANGUAGE_ENGLISH),
                      (PROGRESS_POLLS - 1) % PERCENT_STEPS);
        EXPECT_NE(run.output.find(std::string(last) + "\r"), std::string::npos) << "the last progress line";
        EXPECT_GE(run.report["elapsedMs"].get<uint64_t>(), uint64_t{PROGRESS_POLLS} * PROGRESS_POLL_MS);
    }
    ForgetRun();
    const long long grown = static_cast<long long>(HeapInUse()) - static_cast<long long>(heapBefore);

    // Every progress pause and the completion pause.
    EXPECT_EQ(samples.pauses, PROGRESS_POLLS + 1);
    // No event: each transfer closes its own, and a pause needs none. The mutexes: both locks and
    // the update guard.
    const std::map<std::string, int> heldWhileBurning = {{"device", 1},  {"event", 0}, {"key", 0},
                                                         {"manager", 1}, {"mutex", 3}, {"service", 1}};
    for (const auto& [kind, held] : heldWhileBurning) {
        ASSERT_TRUE(samples.handles.count(kind)) << kind;
        EXPECT_EQ(samples.handles[kind].first, held) << kind << " handles, fewest at a pause";
        EXPECT_EQ(samples.handles[kind].second, held) << kind << " handles, most at a pause";
    }
    EXPECT_EQ(samples.mostLocalBlocks, 0);
    EXPECT_LE(grown, HEAP_SLACK_BYTES) << "the process grew by " << grown << " bytes over the run";
}

}  // namespace
