// The fault sweep: every simulated Windows call of a clean update is made to fail, once and from
// there on, with each error that call can really return; every such run must still keep the
// updater's promises. The way SQLite tests its OS layer.
//
// The same base updates also meet each console event (Ctrl+C, Ctrl+Break, a closing window) at
// every call boundary and in the middle of every pause.
//
// Set SCANFW_SWEEP_LONG=1 for the longer variant (more base scenarios).
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/messages.h"
#include "event_oracle.h"
#include "sim/builtin_scenarios.h"
#include "sim/tool/runner.h"
#include "sweep_oracle.h"

namespace {

using sweep::Phase;

// Errors each call can really return when it fails (the failure value itself is the call's own).
const std::map<std::string, std::vector<DWORD>> kErrors = {
    {"CreateFileA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
    {"DeviceIoControl", {ERROR_GEN_FAILURE, 1167 /* device not connected */}},
    {"CloseHandle", {ERROR_INVALID_HANDLE}},
    {"WriteFile", {ERROR_GEN_FAILURE, 995 /* operation aborted */, 1167}},
    {"ReadFile", {ERROR_GEN_FAILURE, 995, 1167}},
    {"GetOverlappedResult", {ERROR_GEN_FAILURE, 995}},
    {"CreateEventA", {ERROR_NOT_ENOUGH_MEMORY, 1450 /* no system resources */}},
    {"WaitForSingleObject", {ERROR_INVALID_HANDLE}},
    {"Sleep", {ERROR_SUCCESS}},
    {"OpenSCManagerA", {ERROR_ACCESS_DENIED, 1065 /* database does not exist */}},
    {"OpenServiceA", {ERROR_ACCESS_DENIED, ERROR_SERVICE_DOES_NOT_EXIST}},
    {"QueryServiceStatus", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}},
    {"ControlService",
     {ERROR_ACCESS_DENIED, 1051 /* dependent services running */, ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
      ERROR_SERVICE_NOT_ACTIVE, ERROR_SERVICE_REQUEST_TIMEOUT}},
    {"QueryServiceConfigA", {ERROR_INSUFFICIENT_BUFFER, ERROR_ACCESS_DENIED}},
    {"ChangeServiceConfigA", {ERROR_ACCESS_DENIED, 1072 /* marked for delete */}},
    {"StartServiceA",
     {ERROR_ACCESS_DENIED, ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_DISABLED, ERROR_SERVICE_REQUEST_TIMEOUT}},
    {"CloseServiceHandle", {ERROR_INVALID_HANDLE}},
    {"LocalAlloc", {ERROR_NOT_ENOUGH_MEMORY}},
    {"LocalFree", {ERROR_INVALID_HANDLE}},
    {"RegOpenKeyExA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
    {"RegQueryValueExA", {ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA}},
    {"RegCloseKey", {ERROR_INVALID_HANDLE}},
    {"InitializeSecurityDescriptor", {1305 /* unknown revision */}},
    {"SetSecurityDescriptorDacl", {1338 /* invalid security descriptor */}},
    {"CreateMutexA", {ERROR_ACCESS_DENIED, 123 /* invalid name */}},
    {"ReleaseMutex", {ERROR_NOT_OWNER}},
    {"FindResourceA", {ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND}},
    {"LoadResource", {ERROR_RESOURCE_DATA_NOT_FOUND}},
    {"LockResource", {ERROR_RESOURCE_DATA_NOT_FOUND}},
    {"SizeofResource", {ERROR_RESOURCE_DATA_NOT_FOUND}},
    {"SetEvent", {ERROR_INVALID_HANDLE}},
    {"ResetEvent", {ERROR_INVALID_HANDLE}},
    {"SetConsoleCtrlHandler", {ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY}},
    {"SetThreadExecutionState", {ERROR_INVALID_PARAMETER}},
    {"SleepConditionVariableSRW", {ERROR_INVALID_PARAMETER, ERROR_TIMEOUT}},
    {"GetConsoleProcessList", {ERROR_INVALID_PARAMETER, ERROR_INVALID_HANDLE}},
    {"GetStdHandle", {ERROR_INVALID_HANDLE}},
    {"GetConsoleMode", {ERROR_INVALID_HANDLE}},
    {"FlushConsoleInputBuffer", {ERROR_INVALID_HANDLE}},
    {"ReadConsoleInputA", {ERROR_INVALID_HANDLE}},
    {"SetDefaultDllDirectories", {ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY}},
    {"CreateMutexExA", {ERROR_ACCESS_DENIED, ERROR_INVALID_OWNER, ERROR_INVALID_HANDLE /* another kind of object */}},
    {"GetKernelObjectSecurity", {ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER}},
    {"GetSecurityDescriptorOwner", {ERROR_INVALID_SECURITY_DESCR}},
    {"DuplicateHandle", {ERROR_INVALID_HANDLE}},
    {"FormatMessageA", {ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY}},
    {"CryptAcquireContextA", {NTE_PROV_TYPE_NOT_DEF, ERROR_NOT_ENOUGH_MEMORY}},
    {"CryptCreateHash", {NTE_BAD_ALGID, ERROR_NOT_ENOUGH_MEMORY}},
    {"CryptHashData", {NTE_BAD_HASH}},
    {"CryptGetHashParam", {NTE_BAD_HASH, ERROR_MORE_DATA}},
    {"CryptDestroyHash", {NTE_BAD_HASH}},
    {"CryptReleaseContext", {NTE_BAD_UID}},
};

struct Base {
    const char* scenario;
    uint16_t langId;
};

std::vector<Base> Bases() {
    std::vector<Base> bases = {{"update", 0x0409},
                               {"zh-TW", 0x0404},
                               {"ready-state-6", 0x0409},
                               {"model-8", 0x0409},
                               {"busy-then-ready", 0x0409}};
    const char* longer = std::getenv("SCANFW_SWEEP_LONG");
    if (longer != nullptr && *longer == '1') {
        for (const char* extra : {"passed-over", "service-stopped", "burn-error", "second-app-busy", "data-error"})
            bases.push_back({extra, 0x0409});
        bases.push_back({"model-8", 0x0404});
    }
    return bases;
}

// The calls failed one by one also meet a window of its own, which adds the calls that hold it
// open at the end; another run's guard, whose owner is read; and a damaged image, whose failed
// check gives everything back.
std::vector<Base> FaultBases() {
    std::vector<Base> bases = Bases();
    for (const char* extra : {"double-clicked", "second-updater", "damaged-image"}) bases.push_back({extra, 0x0409});
    return bases;
}

sim::Scenario Load(const Base& b) {
    sim::Scenario s = sim::ParseScenario(sim::FindBuiltinScenario(b.scenario)->json, b.scenario);
    s.userLangId = b.langId;
    return s;
}

sim::RunOptions SweepOptions() {
    sim::RunOptions o;
    o.journal = true;
    o.hashImages = false;
    return o;
}

TEST(FaultSweep, EveryCallFailingKeepsThePromises) {
    size_t runs = 0, problems = 0;
    std::set<const void*> sites;
    std::set<std::string> callsCovered;
    for (const Base& base : FaultBases()) {
        const sim::Scenario clean = Load(base);
        const sim::RunResult cleanRun = sim::RunUpdater(clean, SweepOptions(), true);
        const uint16_t lang = base.langId == 0x0404 ? LANGUAGE_CHINESE : LANGUAGE_ENGLISH;
        sweep::CleanRun reference = sweep::Analyse(cleanRun, lang);
        if (clean.otherUpdater) {
            sim::Scenario alone = clean;
            alone.otherUpdater = false;
            const sweep::CleanRun unguarded = sweep::Analyse(sim::RunUpdater(alone, SweepOptions(), true), lang);
            reference.unguardedOutput = unguarded.output;
            reference.serviceWasActive = unguarded.serviceWasActive;
        }
        ASSERT_TRUE(reference.finalMessage.has_value()) << base.scenario << ": the clean run has no final message";
        for (size_t i = 0; i < cleanRun.journal.size(); ++i) {
            const sim::JournalEntry& entry = cleanRun.journal[i];
            auto errors = kErrors.find(entry.call);
            if (errors == kErrors.end())
                continue;  // calls that cannot fail on Windows
            sites.insert(entry.site);
            callsCovered.insert(entry.call);
            for (DWORD error : errors->second) {
                for (bool persistent : {false, true}) {
                    sim::Scenario s = clean;
                    s.failures = {{entry.call, entry.ordinal, persistent ? 0u : 1u, error}};
                    sim::RunResult r = sim::RunUpdater(s, SweepOptions(), true);
                    ++runs;
                    std::vector<std::string> found =
                        sweep::Check(reference, r, entry, reference.phases[i], persistent, lang);
                    for (const std::string& f : found) {
                        ++problems;
                        if (problems <= 40)
                            ADD_FAILURE() << base.scenario << ": " << entry.call << " #" << entry.ordinal << " error "
                                          << error << (persistent ? " from there on" : " once") << " ("
                                          << sweep::PhaseName(reference.phases[i]) << "): " << f;
                    }
                }
            }
        }
    }
    std::cout << "fault sweep: " << runs << " runs, " << sites.size() << " call sites, " << callsCovered.size()
              << " functions, " << problems << " problems" << std::endl;
    RecordProperty("runs", static_cast<int>(runs));
    RecordProperty("callSites", static_cast<int>(sites.size()));
    EXPECT_EQ(problems, 0u);
}

}  // namespace

namespace {

const sim::ConsoleEvent kEvents[] = {sim::ConsoleEvent::CtrlC, sim::ConsoleEvent::CtrlBreak, sim::ConsoleEvent::Close};

const char* EventName(sim::ConsoleEvent e) {
    return e == sim::ConsoleEvent::CtrlC ? "Ctrl+C" : e == sim::ConsoleEvent::CtrlBreak ? "Ctrl+Break" : "close";
}

TEST(FaultSweep, ConsoleEventsAnywhereKeepThePromises) {
    size_t runs = 0, problems = 0;
    std::map<sweep::Stage, size_t> byStage;
    for (const Base& base : Bases()) {
        const sim::Scenario clean = Load(base);
        const sim::RunResult cleanRun = sim::RunUpdater(clean, SweepOptions(), true);
        const uint16_t lang = base.langId == 0x0404 ? LANGUAGE_CHINESE : LANGUAGE_ENGLISH;
        const sweep::EventStages stages = sweep::FindEventStages(cleanRun);
        ASSERT_LT(stages.install, stages.download) << base.scenario;
        ASSERT_LT(stages.download, stages.ending) << base.scenario;
        ASSERT_LT(stages.ending, stages.remove) << base.scenario;

        // Every call boundary: the event comes as the main thread is about to make call `at`.
        struct Delivery {
            size_t stageIndex;
            std::optional<size_t> beforeCall;
            uint64_t atMs;
        };
        std::vector<Delivery> deliveries;
        for (size_t at = 0; at < cleanRun.journal.size(); ++at) deliveries.push_back({at, at, 0});
        // The middle of every pause: the main thread waits when the event comes.
        for (const sweep::PauseAt& p : sweep::FindPauses(cleanRun))
            if (p.ms >= 2)
                deliveries.push_back({p.index, std::nullopt, p.startMs + p.ms / 2});

        for (const Delivery& d : deliveries) {
            for (sim::ConsoleEvent event : kEvents) {
                sim::Scenario s = clean;
                sim::RunOptions options = SweepOptions();
                if (d.beforeCall.has_value())
                    options.interruptAtCall = sim::RunOptions::CallInterrupt{event, *d.beforeCall, std::nullopt};
                else
                    s.console.interrupts = {{event, d.atMs}};
                const sim::RunResult r = sim::RunUpdater(s, options, true);
                ++runs;
                // An event inside a check the main thread makes under the requests' lock meets the stage
                // that the check leaves.
                const sweep::Stage stage = stages.At(
                    d.beforeCall.has_value() ? sweep::PastLockedRegion(cleanRun.journal, d.stageIndex) : d.stageIndex);
                ++byStage[stage];
                const auto& delivered = sim::M().console.deliveries;
                if (delivered.size() != 1) {
                    ++problems;
                    ADD_FAILURE() << base.scenario << ": the event was delivered " << delivered.size() << " times";
                    continue;
                }
                for (const std::string& f :
                     sweep::CheckEventRun(cleanRun, r, delivered, stage, d.beforeCall.has_value(), lang)) {
                    ++problems;
                    if (problems <= 40)
                        ADD_FAILURE() << base.scenario << ": " << EventName(event)
                                      << (d.beforeCall ? " before call " : " in the pause of call ") << d.stageIndex
                                      << " (" << cleanRun.journal[d.stageIndex].call << ", " << sweep::StageName(stage)
                                      << "): " << f;
                }
            }
        }
    }
    std::cout << "console event sweep: " << runs << " runs (";
    for (const auto& [stage, n] : byStage) std::cout << sweep::StageName(stage) << " " << n << ", ";
    std::cout << "), " << problems << " problems" << std::endl;
    RecordProperty("runs", static_cast<int>(runs));
    EXPECT_EQ(problems, 0u);
}

// A second event close behind the first: each ordered pair of the three kinds, the second 0, 1, 2
// or 5 ms after the first or one pause later, the first at every call boundary of the cancellable
// and the burning stages. Under the sanitizers every few boundaries are taken, for time.
struct Gap {
    const char* name;
    uint64_t ms;
    bool afterNextPause;
};
const Gap kGaps[] = {
    {"0 ms", 0, false}, {"1 ms", 1, false}, {"2 ms", 2, false}, {"5 ms", 5, false}, {"one pause", 0, true}};

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t PAIR_BOUNDARY_STRIDE = 11;
#else
constexpr size_t PAIR_BOUNDARY_STRIDE = 1;
#endif

TEST(FaultSweep, PairsOfConsoleEventsKeepThePromises) {
    size_t runs = 0, problems = 0, bothDelivered = 0;
    std::map<sweep::Stage, size_t> byStage;
    for (const Base& base : Bases()) {
        const sim::Scenario clean = Load(base);
        const sim::RunResult cleanRun = sim::RunUpdater(clean, SweepOptions(), true);
        const uint16_t lang = base.langId == 0x0404 ? LANGUAGE_CHINESE : LANGUAGE_ENGLISH;
        const sweep::EventStages stages = sweep::FindEventStages(cleanRun);
        for (size_t at = 0; at < cleanRun.journal.size(); at += PAIR_BOUNDARY_STRIDE) {
            const sweep::Stage stage = stages.At(sweep::PastLockedRegion(cleanRun.journal, at));
            if (stage != sweep::Stage::Cancellable && stage != sweep::Stage::Burning)
                continue;
            for (sim::ConsoleEvent first : kEvents) {
                for (sim::ConsoleEvent second : kEvents) {
                    for (const Gap& gap : kGaps) {
                        sim::RunOptions options = SweepOptions();
                        options.interruptAtCall = sim::RunOptions::CallInterrupt{
                            first, at, sim::RunOptions::FollowingEvent{second, gap.ms, gap.afterNextPause}};
                        const sim::RunResult r = sim::RunUpdater(clean, options, true);
                        ++runs;
                        ++byStage[stage];
                        const auto& delivered = sim::M().console.deliveries;
                        bothDelivered += delivered.size() == 2 ? 1 : 0;
                        for (const std::string& f : sweep::CheckEventRun(cleanRun, r, delivered, stage, true, lang)) {
                            ++problems;
                            if (problems <= 40)
                                ADD_FAILURE() << base.scenario << ": " << EventName(first) << " before call " << at
                                              << " (" << cleanRun.journal[at].call << ", " << sweep::StageName(stage)
                                              << "), then " << EventName(second) << " " << gap.name << " later ("
                                              << delivered.size() << " delivered): " << f;
                        }
                    }
                }
            }
        }
    }
    std::cout << "console event pair sweep: " << runs << " runs (";
    for (const auto& [stage, n] : byStage) std::cout << sweep::StageName(stage) << " " << n << ", ";
    std::cout << "both events delivered in " << bothDelivered << "), " << problems << " problems" << std::endl;
    RecordProperty("runs", static_cast<int>(runs));
    EXPECT_EQ(problems, 0u);
}

}  // namespace
