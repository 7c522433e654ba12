#include "event_oracle.h"

#include <algorithm>

#include "app/console_control.h"
#include "app/messages.h"
#include "sweep_oracle.h"

namespace sweep {
namespace {

constexpr int64_t STATUS_CONTROL_C_EXIT = 0xC000013A;
const nlohmann::json kPowerAwakeThenReleased = {"0x80000001", "0x80000000"};
// The download command's opcode byte in the hex of a command block.
constexpr size_t OPCODE_HEX_OFFSET = 8;
constexpr const char* DOWNLOAD_OPCODE_HEX = "2a";

bool IsServiceCall(const std::string& call) {
    static const char* const calls[] = {"OpenSCManagerA", "OpenServiceA",        "QueryServiceStatus",
                                        "ControlService", "QueryServiceConfigA", "ChangeServiceConfigA",
                                        "StartServiceA"};
    return std::find(std::begin(calls), std::end(calls), call) != std::end(calls);
}

std::string Printed(MessageId id, uint16_t language) {
    return std::string(MessageText(id, language)) + "\n";
}

// The output without the warnings printed during the burn: the warning itself, and the line feed
// that put it on a line of its own after a progress line.
std::string WithoutWarnings(std::string output, uint16_t language) {
    const std::string warning = Printed(MSG_DO_NOT_INTERRUPT, language);
    for (size_t at; (at = output.find(warning)) != std::string::npos;) {
        const bool afterProgressLine = at >= 1 && output[at - 1] == '\n' && (at < 2 || output[at - 2] != '\n');
        output.erase(afterProgressLine ? at - 1 : at, warning.size() + (afterProgressLine ? 1 : 0));
    }
    return output;
}

bool SentDownload(const nlohmann::json& report) {
    if (!report["device"].is_object())
        return false;
    for (const auto& c : report["device"]["commands"])
        if (c.get<std::string>().compare(OPCODE_HEX_OFFSET, 2, DOWNLOAD_OPCODE_HEX) == 0)
            return true;
    return false;
}

}  // namespace

const char* StageName(Stage stage) {
    switch (stage) {
        case Stage::BeforeHandler:
            return "before the handler";
        case Stage::Cancellable:
            return "cancellable";
        case Stage::Burning:
            return "burning";
        case Stage::Ending:
            return "ending";
        case Stage::AfterHandler:
            return "after the handler";
    }
    return "?";
}

Stage EventStages::At(size_t index) const {
    if (index <= install)
        return Stage::BeforeHandler;
    if (index < download)
        return Stage::Cancellable;
    if (index <= ending)
        return Stage::Burning;
    if (index < remove)
        return Stage::Ending;
    return Stage::AfterHandler;
}

EventStages FindEventStages(const sim::RunResult& clean) {
    const std::vector<sim::JournalEntry>& j = clean.journal;
    EventStages s;
    bool installed = false, imageBegun = false, downloadFound = false;
    size_t restore = j.size();
    for (size_t i = 0; i < j.size(); ++i) {
        if (j[i].call == "SetConsoleCtrlHandler") {
            if (!installed)
                s.install = i;
            installed = true;
            s.remove = i;
        }
        imageBegun = imageBegun || j[i].call == "FindResourceA";
        if (imageBegun && !downloadFound && IsTransferEvent(j[i])) {
            s.download = i;
            downloadFound = true;
        }
        if (downloadFound && restore == j.size() && IsServiceCall(j[i].call))
            restore = i;
    }
    // The scanner has stopped burning once the last exchange is over: the main thread then marks the
    // update as ending, under the requests' lock.
    size_t lastTransfer = s.download;
    for (size_t i = s.download; i < restore; ++i)
        if (IsTransferEvent(j[i]))
            lastTransfer = i;
    for (size_t i = lastTransfer; i < restore; ++i)
        if (j[i].thread == 0 && j[i].call == "AcquireSRWLockExclusive") {
            s.ending = i;
            break;
        }
    return s;
}

size_t PastLockedRegion(const std::vector<sim::JournalEntry>& journal, size_t index) {
    bool held = false;
    for (size_t i = 0; i < journal.size(); ++i) {
        const sim::JournalEntry& e = journal[i];
        if (e.thread != 0)
            continue;
        if (i >= index && (!held || e.call == "SleepConditionVariableSRW"))
            return i;
        if (e.call == "AcquireSRWLockExclusive")
            held = true;
        else if (e.call == "ReleaseSRWLockExclusive")
            held = false;
    }
    return journal.size();
}

std::vector<PauseAt> FindPauses(const sim::RunResult& clean) {
    std::vector<PauseAt> pauses;
    const nlohmann::json& sleeps = clean.report["sleeps"];
    uint64_t at = 0;
    size_t n = 0;
    // In a clean run every pause runs its length and nothing else lets time pass.
    for (size_t i = 0; i < clean.journal.size() && n < sleeps.size(); ++i) {
        if (!IsPause(clean.journal[i]) || clean.journal[i].thread != 0)
            continue;
        const uint32_t ms = sleeps[n++].get<uint32_t>();
        pauses.push_back({i, at, ms});
        at += ms;
    }
    return pauses;
}

std::vector<std::string> CheckEventRun(const sim::RunResult& clean, const sim::RunResult& run,
                                       const std::vector<sim::ConsoleDelivery>& delivered, Stage stage,
                                       bool atCallBoundary, uint16_t language) {
    if (delivered.empty())
        return {"no event was delivered"};
    const size_t deliveredAt = delivered.front().callIndex;
    // A close gives the main thread its grace from its own moment, whatever came before it.
    auto close = std::find_if(delivered.begin(), delivered.end(),
                              [](const sim::ConsoleDelivery& d) { return d.event == sim::ConsoleEvent::Close; });
    const bool closing = close != delivered.end();
    const uint64_t closeMs = closing ? close->atMs : 0;
    const long warningsAllowed = std::count_if(delivered.begin(), delivered.end(), [](const sim::ConsoleDelivery& d) {
        return d.event != sim::ConsoleEvent::Close;
    });
    const nlohmann::json& rep = run.report;
    const nlohmann::json& svc = rep["service"];
    const bool terminated = stage == Stage::BeforeHandler || stage == Stage::AfterHandler;
    // A process the system ended has its handles closed by the system; its locks are abandoned,
    // but the updater must not have held one then.
    std::vector<std::string> problems;
    if (!terminated)
        problems = CheckPromises(run, {}, std::nullopt);
    auto expect = [&problems](bool ok, const std::string& what) {
        if (!ok)
            problems.push_back(what);
    };
    for (auto it = rep["mutexes"].begin(); it != rep["mutexes"].end(); ++it)
        if (terminated && it.value()["ownedAtExit"] == true)
            problems.push_back("lock held when ended: " + it.key());
    expect(rep["ended"] == (terminated ? "terminated" : "return"), "ended " + rep["ended"].dump());
    expect(run.exitCode == (terminated ? STATUS_CONTROL_C_EXIT : 0), "exit code " + std::to_string(run.exitCode));
    if (!terminated)
        expect(rep["power"] == kPowerAwakeThenReleased, "power " + rep["power"].dump());
    expect(rep["keyWaits"] == 0, "waited for a key");

    switch (stage) {
        case Stage::BeforeHandler:
            expect(svc["stopRequests"] == 0 && svc["configChanges"].empty(), "the service was touched");
            break;
        case Stage::AfterHandler:
            expect(svc == clean.report["service"], "service " + svc.dump());
            break;
        case Stage::Cancellable: {
            expect(FinalMessage(run.output, language) == MSG_UPDATE_CANCELLED, "the last message is not 35");
            expect(svc["startType"] == "auto", "start type " + svc["startType"].dump());
            // A close asks for the start and leaves the rest to the service.
            const bool started = svc["state"] == "running" || (closing && svc["state"] == "startPending");
            expect(started, "service " + svc["state"].dump());
            expect(!SentDownload(rep) && (!rep["device"].is_object() || rep["device"]["images"].empty()),
                   "the firmware went to the scanner after a cancel");
            // An event at a call boundary lets the main thread make the call it was entering (once it
            // has left the check it was making under the requests' lock): an exchange it was
            // beginning may run its course. None may begin after that.
            size_t from = deliveredAt;
            if (atCallBoundary)
                from = PastLockedRegion(run.journal, deliveredAt) + 1;
            for (size_t i = from; i < run.journal.size(); ++i)
                if (IsTransferEvent(run.journal[i]) && run.journal[i].thread == 0) {
                    problems.push_back("an exchange began after the cancel");
                    break;
                }
            if (closing)
                expect(rep["elapsedMs"].get<uint64_t>() <= closeMs + CLOSE_GRACE_MS,
                       "the close took " + std::to_string(rep["elapsedMs"].get<uint64_t>() - closeMs) + " ms");
            break;
        }
        case Stage::Burning:
            if (closing) {
                // No start while the scanner burns, but the start type goes back. A close during
                // the exchange that finds the burn done meets the update's usual end instead.
                const bool burnDone =
                    std::find(rep["messages"].begin(), rep["messages"].end(), MSG_BURN_DONE) != rep["messages"].end();
                expect(svc["startType"] == "auto", "start type " + svc["startType"].dump());
                expect(burnDone ? svc["startRequests"] == 1 : svc["startRequests"] == 0,
                       burnDone ? "the service was not started after the burn"
                                : "the service was started while the scanner burned");
                expect(rep["elapsedMs"].get<uint64_t>() <= closeMs + CLOSE_GRACE_MS, "the close took too long");
            } else {
                // A warning for the first, one for a second that still finds the scanner burning, and
                // nothing else changes.
                const long warnings = std::count(rep["messages"].begin(), rep["messages"].end(), MSG_DO_NOT_INTERRUPT);
                expect(warnings >= 1 && warnings <= warningsAllowed, "messages " + rep["messages"].dump());
                expect(WithoutWarnings(run.output, language) == clean.output, "the output differs but for the warning");
                nlohmann::json report = rep;
                auto& m = report["messages"];
                m.erase(std::remove(m.begin(), m.end(), MSG_DO_NOT_INTERRUPT), m.end());
                expect(report == clean.report, "the report differs but for the warning");
            }
            break;
        case Stage::Ending:
            expect(run.output == clean.output, "the output differs");
            if (closing) {
                expect(svc["startType"] == "auto" && svc["startRequests"] == clean.report["service"]["startRequests"],
                       "service " + svc.dump());
            } else {
                expect(rep == clean.report, "the report differs");
            }
            break;
    }
    return problems;
}

}  // namespace sweep
