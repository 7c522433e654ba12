#include "fuzzed_run_checks.h"

#include <algorithm>
#include <set>

#include "app/messages.h"
#include "sim/machine.h"
#include "sweep_oracle.h"

namespace fuzz {
namespace {

constexpr int64_t STATUS_CONTROL_C_EXIT = 0xC000013A;

const std::set<std::string> kChannelCalls = {"CreateEventA", "WriteFile", "ReadFile", "WaitForSingleObject",
                                             "GetOverlappedResult"};
const std::set<std::string> kServiceCalls = {"OpenSCManagerA", "OpenServiceA",        "QueryServiceStatus",
                                             "ControlService", "QueryServiceConfigA", "ChangeServiceConfigA",
                                             "StartServiceA",  "LocalAlloc",          "CloseServiceHandle"};

// Whether the failure plan made this call fail, by the rule the simulated host applies.
bool Injected(const sim::Scenario& s, const sim::JournalEntry& e) {
    return std::any_of(s.failures.begin(), s.failures.end(), [&](const sim::FailureSpec& f) {
        return f.call == e.call && e.ordinal >= f.nth && (f.count == 0 || e.ordinal - f.nth < f.count);
    });
}

std::vector<std::string> FailedCalls(const sim::Scenario& s, const sim::RunResult& run) {
    std::set<std::string> failed;
    for (const sim::JournalEntry& e : run.journal)
        if (Injected(s, e))
            failed.insert(e.call);
    return {failed.begin(), failed.end()};
}

// The transfer faults of the scanner the updater matched, if it matched one.
const std::vector<sim::TransferFault>* MatchedFaults(const sim::Scenario& s, const sim::RunResult& run) {
    const nlohmann::json& device = run.report["device"];
    if (!device.is_object())
        return nullptr;
    const int index = device["index"].get<int>();
    for (const sim::DeviceSpec& d : s.devices)
        if (d.index == index)
            return &d.scanner.faults;
    return nullptr;
}

bool Contains(const std::string& output, MessageId id, uint16_t language) {
    return output.find(std::string(MessageText(id, language)) + "\n") != std::string::npos;
}

// What the guard and the image check promise: a run that met another's guard, and could read it
// for one, touches neither the scanner nor the service; an image that differs from its digest is
// never sent.
std::vector<std::string> CheckGuardAndImage(const sim::Scenario& s, const sim::RunResult& run,
                                            const std::vector<std::string>& failedCalls) {
    std::vector<std::string> problems;
    const nlohmann::json& device = run.report["device"];
    const bool sentCommands = device.is_object() && !device["commands"].empty();
    const bool guardRead = std::none_of(failedCalls.begin(), failedCalls.end(), [](const std::string& c) {
        return c == "CreateMutexExA" || c == "GetKernelObjectSecurity" || c == "GetSecurityDescriptorOwner";
    });
    if (s.otherUpdater && guardRead &&
        (sentCommands || run.report["service"]["stopRequests"] != 0 || !run.report["service"]["configChanges"].empty()))
        problems.push_back("another run held the guard, yet this one talked to the scanner or the service");
    // The updater loads one image at most: the one it would send.
    for (const auto& [bytes, id] : sim::M().resources.loaded) {
        const sim::ResourceSpec& given = s.resources.at(id);
        if (given.damaged && given.size > 0 && device.is_object() && !device["images"].empty())
            problems.push_back("damaged image " + std::to_string(id) + " was sent to the scanner");
    }
    return problems;
}

std::vector<std::string> CheckRestore(const sim::RunResult& run, const std::vector<std::string>& failedCalls,
                                      uint16_t language, bool closed) {
    std::vector<std::string> problems;
    const nlohmann::json& service = run.report["service"];
    const bool touched = service["stopRequests"] != 0 || !service["configChanges"].empty();
    const bool pastServiceStep =
        Contains(run.output, MSG_CLOSING_WIA, language) && !Contains(run.output, MSG_WIA_CLOSE_FAILED, language);
    if (!touched || !pastServiceStep)
        return problems;

    bool readyWaitBegun = false, restoreAttempted = false;
    for (const sim::JournalEntry& e : run.journal) {
        // The restore follows the ready wait's first exchange, or a cancel (the handler wakes the main
        // thread's pause when it has recorded one) even before that.
        readyWaitBegun =
            readyWaitBegun || sweep::IsTransferEvent(e) || (e.thread != 0 && e.call == "WakeAllConditionVariable");
        restoreAttempted = restoreAttempted || (readyWaitBegun && kServiceCalls.count(e.call) > 0);
    }
    if (!restoreAttempted)
        problems.push_back("the service was stopped or disabled and never restored");

    const bool serviceCallFailed = std::any_of(failedCalls.begin(), failedCalls.end(),
                                               [](const std::string& c) { return kServiceCalls.count(c) > 0; });
    if (serviceCallFailed)
        return problems;
    if (service["startType"] != "auto")
        problems.push_back("service left with start type " + service["startType"].get<std::string>());
    // A service the updater stopped must be started again, unless the console closed while the
    // scanner burned, or the user was told it could not be (a stop that a cancel cut short and
    // that had still not ended when the restore gave up waiting).
    if (service["stopRequests"] != 0 && service["startRequests"] == 0 && !closed &&
        !Contains(run.output, MSG_WIA_START_FAILED, language))
        problems.push_back("the service was stopped and never started again");
    return problems;
}

}  // namespace

std::optional<size_t> FirstTransferFailure(const sim::Scenario& s, const sim::RunResult& run) {
    const std::vector<sim::TransferFault>* faults = MatchedFaults(s, run);
    uint32_t writes = 0, reads = 0;  // the transfers that reached the scanner, as it counts them
    for (size_t i = 0; i < run.journal.size(); ++i) {
        const sim::JournalEntry& e = run.journal[i];
        const bool injected = Injected(s, e);
        if (injected && kChannelCalls.count(e.call) > 0)
            return i;
        if (injected || faults == nullptr || (e.call != "WriteFile" && e.call != "ReadFile"))
            continue;
        const bool onRead = e.call == "ReadFile";
        const uint32_t n = onRead ? ++reads : ++writes;
        for (const sim::TransferFault& f : *faults)
            if (f.onRead == onRead && f.n == n)
                return i;
    }
    return std::nullopt;
}

std::vector<std::string> CheckFuzzedRun(const sim::Scenario& scenario, const sim::RunResult& run) {
    const uint16_t language = MessageLanguageFor(scenario.userLangId);
    const std::vector<std::string> failedCalls = FailedCalls(scenario, run);
    if (run.report["ended"] == "terminated") {
        // The system ended the process (an event it had no handler for, or the end of a close's
        // grace): the system closes the handles and abandons the locks; nothing else can be asked.
        if (run.exitCode != STATUS_CONTROL_C_EXIT)
            return {"ended by the system with exit code " + std::to_string(run.exitCode)};
        return {};
    }
    std::vector<std::string> problems = sweep::CheckPromises(run, failedCalls, FirstTransferFailure(scenario, run));
    // A closing console ends the run where it stands once the PC is given back: while the scanner
    // burns, that is after a progress line, with the service set to start with Windows only.
    const auto& delivered = sim::M().console.deliveries;
    const bool closed = std::any_of(delivered.begin(), delivered.end(),
                                    [](const sim::ConsoleDelivery& d) { return d.event == sim::ConsoleEvent::Close; });
    if (!closed && !sweep::FinalMessage(run.output, language).has_value())
        problems.push_back("the output does not end with a final message");
    std::vector<std::string> restore = CheckRestore(run, failedCalls, language, closed);
    problems.insert(problems.end(), restore.begin(), restore.end());
    std::vector<std::string> guarded = CheckGuardAndImage(scenario, run, failedCalls);
    problems.insert(problems.end(), guarded.begin(), guarded.end());
    return problems;
}

}  // namespace fuzz
