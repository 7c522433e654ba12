#include "sweep_oracle.h"

#include <algorithm>
#include <regex>
#include <set>

namespace sweep {
namespace {

const MessageId kFinalMessages[] = {MSG_DEVICE_NOT_FOUND,
                                    MSG_NOT_RESPONDED,
                                    MSG_STATUS_ERROR,
                                    MSG_SCANNER_NOT_REGISTERED,
                                    MSG_SCAN_APP_BUSY,
                                    MSG_SECOND_APP_BUSY,
                                    MSG_FIND_RESOURCE_ERROR,
                                    MSG_LOAD_RESOURCE_ERROR,
                                    MSG_LOCK_RESOURCE_ERROR,
                                    MSG_RESOURCE_EMPTY_ERROR,
                                    MSG_COMMAND_ERROR,
                                    MSG_DATA_ERROR,
                                    MSG_BURN_ERROR,
                                    MSG_BURN_DONE,
                                    MSG_WIA_CLOSE_FAILED,
                                    MSG_WIA_RESTORE_FAILED,
                                    MSG_WIA_START_FAILED,
                                    MSG_UPDATE_CANCELLED,
                                    MSG_ANOTHER_UPDATE_RUNNING,
                                    MSG_FIRMWARE_DAMAGED};

const std::set<std::string> kChannelCalls = {"CreateEventA", "WriteFile", "ReadFile", "WaitForSingleObject",
                                             "GetOverlappedResult"};
const std::set<std::string> kServiceCalls = {"OpenSCManagerA", "OpenServiceA",        "QueryServiceStatus",
                                             "ControlService", "QueryServiceConfigA", "ChangeServiceConfigA",
                                             "StartServiceA",  "LocalAlloc",          "CloseServiceHandle"};

// The calls by which a run makes the update guard or tells another run's guard for one.
const std::set<std::string> kGuardReads = {"CreateMutexExA", "GetKernelObjectSecurity", "GetSecurityDescriptorOwner"};
// The program's first call, made before anything it is there to do.
const char* const kStartCall = "SetDefaultDllDirectories";

// The final messages a failure in each phase may lead to, besides the clean outcome.
std::set<MessageId> Documented(Phase phase) {
    switch (phase) {
        case Phase::Start:
            return {};
        case Phase::Search:
            return {MSG_DEVICE_NOT_FOUND};
        case Phase::Guard:
            return {MSG_ANOTHER_UPDATE_RUNNING};
        case Phase::Service:
            return {MSG_WIA_CLOSE_FAILED};
        case Phase::ReadyWait:
            return {MSG_STATUS_ERROR, MSG_NOT_RESPONDED};
        case Phase::Locks:
            return {MSG_SCANNER_NOT_REGISTERED, MSG_SCAN_APP_BUSY, MSG_SECOND_APP_BUSY};
        case Phase::Image:
            return {MSG_FIND_RESOURCE_ERROR, MSG_LOAD_RESOURCE_ERROR, MSG_LOCK_RESOURCE_ERROR, MSG_RESOURCE_EMPTY_ERROR,
                    MSG_FIRMWARE_DAMAGED};
        case Phase::Download:
            return {MSG_COMMAND_ERROR, MSG_DATA_ERROR};
        case Phase::Progress:
            return {MSG_BURN_ERROR};
        case Phase::Restore:
            return {MSG_WIA_RESTORE_FAILED, MSG_WIA_START_FAILED};
    }
    return {};
}

const std::regex kDiagnosticTail("QueryServiceConfig failed \\(-?[0-9]+\\)$");

std::string WithoutDiagnostic(const std::string& output) {
    std::smatch m;
    if (std::regex_search(output, m, kDiagnosticTail))
        return output.substr(0, output.size() - m.length(0));
    return output;
}

bool Contains(const std::string& output, MessageId id, uint16_t language) {
    return output.find(std::string(MessageText(id, language)) + "\n") != std::string::npos;
}

// The journal index of the first call of `call` numbered `ordinal`, if the run made it.
std::optional<size_t> IndexOf(const std::vector<sim::JournalEntry>& journal, const std::string& call,
                              uint32_t ordinal) {
    for (size_t i = 0; i < journal.size(); ++i)
        if (journal[i].call == call && journal[i].ordinal == ordinal)
            return i;
    return std::nullopt;
}

}  // namespace

bool IsTransferEvent(const sim::JournalEntry& e) {
    return e.call == "CreateEventA";
}

bool IsPause(const sim::JournalEntry& e) {
    return e.thread == 0 && (e.call == "Sleep" || e.call == "SleepConditionVariableSRW");
}

const char* PhaseName(Phase phase) {
    switch (phase) {
        case Phase::Start:
            return "start";
        case Phase::Search:
            return "search";
        case Phase::Guard:
            return "guard";
        case Phase::Service:
            return "service";
        case Phase::ReadyWait:
            return "ready wait";
        case Phase::Locks:
            return "locks";
        case Phase::Image:
            return "image";
        case Phase::Download:
            return "download";
        case Phase::Progress:
            return "progress";
        case Phase::Restore:
            return "restore";
    }
    return "?";
}

std::optional<MessageId> FinalMessage(const std::string& output, uint16_t language) {
    std::string text = output;
    // The prompt of a window Explorer opened comes after the outcome and is none itself.
    const std::string prompt = std::string(MessageText(MSG_PRESS_ANY_KEY, language)) + "\n";
    if (text.size() >= prompt.size() && text.compare(text.size() - prompt.size(), prompt.size(), prompt) == 0)
        text.resize(text.size() - prompt.size());
    text = WithoutDiagnostic(text);
    for (MessageId id : kFinalMessages) {
        std::string tail = std::string(MessageText(id, language)) + "\n";
        if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
            return id;
    }
    return std::nullopt;
}

CleanRun Analyse(const sim::RunResult& clean, uint16_t language) {
    CleanRun c;
    c.output = clean.output;
    c.finalMessage = FinalMessage(clean.output, language);
    c.report = clean.report;
    c.serviceWasActive = clean.report["service"].is_object() && clean.report["service"]["startRequests"] != 0;
    Phase phase = Phase::Start;
    for (const sim::JournalEntry& e : clean.journal) {
        // Once the ready wait has begun, the service is touched again only to give it back: an
        // update that ends before the download (a lock taken, an image refused) restores it there.
        if (phase >= Phase::ReadyWait && kServiceCalls.count(e.call))
            phase = Phase::Restore;
        switch (phase) {
            case Phase::Start:
                if (e.call == kStartCall)
                    break;
                phase = Phase::Search;
                [[fallthrough]];
            case Phase::Search:
                if (e.call == "CreateMutexExA")
                    phase = Phase::Guard;
                break;
            case Phase::Guard:
                if (e.call == "OpenSCManagerA")
                    phase = Phase::Service;
                break;
            case Phase::Service:
                if (IsTransferEvent(e))
                    phase = Phase::ReadyWait;
                break;
            case Phase::ReadyWait:
                if (e.call == "RegOpenKeyExA")
                    phase = Phase::Locks;
                if (e.call == "FindResourceA")
                    phase = Phase::Image;
                break;
            case Phase::Locks:
                if (e.call == "FindResourceA")
                    phase = Phase::Image;
                break;
            case Phase::Image:
                if (IsTransferEvent(e))
                    phase = Phase::Download;
                break;
            case Phase::Download:
                if (IsPause(e))
                    phase = Phase::Progress;
                break;
            case Phase::Progress:
                if (kServiceCalls.count(e.call))
                    phase = Phase::Restore;
                break;
            case Phase::Restore:
                break;
        }
        c.phases.push_back(phase);
    }
    return c;
}

std::vector<std::string> CheckPromises(const sim::RunResult& run, const std::vector<std::string>& excused,
                                       std::optional<size_t> failedAt) {
    std::vector<std::string> problems;
    auto isExcused = [&](const char* call) { return std::find(excused.begin(), excused.end(), call) != excused.end(); };
    const nlohmann::json& rep = run.report;
    if (run.exitCode != 0)
        problems.push_back("exit code " + std::to_string(run.exitCode));

    if (!isExcused("ReleaseMutex"))
        for (auto it = rep["mutexes"].begin(); it != rep["mutexes"].end(); ++it)
            if (it.value()["ownedAtExit"] == true)
                problems.push_back("lock still owned at exit: " + it.key());

    const nlohmann::json& open = rep["openHandles"];
    int createdMutexes = 0;
    for (auto it = rep["mutexes"].begin(); it != rep["mutexes"].end(); ++it)
        createdMutexes += it.value()["created"] == true;
    const bool closeExcused = isExcused("CloseHandle");
    if (!closeExcused && open["device"] != (rep["device"].is_null() ? 0 : 1))
        problems.push_back("device handles open: " + open["device"].dump());
    if (!closeExcused && open["event"] != 0)
        problems.push_back("event handles open: " + open["event"].dump());
    if (!closeExcused && open["mutex"] != createdMutexes)
        problems.push_back("mutex handles open: " + open["mutex"].dump() + ", created " +
                           std::to_string(createdMutexes));
    if (!isExcused("CloseServiceHandle") && (open["manager"] != 0 || open["service"] != 0))
        problems.push_back("service handles open: " + open["manager"].dump() + "/" + open["service"].dump());
    if (!isExcused("RegCloseKey") && open["key"] != 0)
        problems.push_back("keys open: " + open["key"].dump());
    if (!isExcused("LocalFree") && sim::M().localBlocks != 0)
        problems.push_back("local memory blocks not freed: " + std::to_string(sim::M().localBlocks));

    if (failedAt.has_value() && kChannelCalls.count(run.journal[*failedAt].call)) {
        for (size_t i = *failedAt + 1; i < run.journal.size(); ++i)
            if (run.journal[i].call == "WriteFile" || run.journal[i].call == "ReadFile") {
                problems.push_back("a transfer after the failed " + run.journal[*failedAt].call);
                break;
            }
    }
    return problems;
}

std::vector<std::string> Check(const CleanRun& clean, const sim::RunResult& run, const sim::JournalEntry& failed,
                               Phase phase, bool persistent, uint16_t language) {
    std::optional<size_t> failedAt = IndexOf(run.journal, failed.call, failed.ordinal);
    std::vector<std::string> problems = CheckPromises(run, {failed.call}, failedAt);
    if (!failedAt.has_value())
        problems.push_back("the run never made the call that was to fail");
    if (phase == Phase::Start) {
        if (run.output != clean.output)
            problems.push_back("a failure at the start changed the output");
        if (run.report != clean.report)
            problems.push_back("a failure at the start changed what the host saw: " + run.report.dump());
        return problems;
    }

    std::set<MessageId> allowed = Documented(phase);
    bool reachesRestore = phase == Phase::Restore;
    if (persistent) {
        for (int p = static_cast<int>(phase) + 1; p <= static_cast<int>(Phase::Restore); ++p) {
            std::set<MessageId> more = Documented(static_cast<Phase>(p));
            allowed.insert(more.begin(), more.end());
        }
        reachesRestore = true;
    }
    std::optional<MessageId> final = FinalMessage(run.output, language);
    if (clean.unguardedOutput.has_value() && kGuardReads.count(failed.call)) {
        // A run that met another's guard and could not tell it for one goes on as a run without one.
        if (WithoutDiagnostic(run.output) != WithoutDiagnostic(*clean.unguardedOutput))
            problems.push_back("the guard failed, but the run did not go on as one without a guard");
    } else if (!final.has_value()) {
        problems.push_back("no final message; output ends: " +
                           run.output.substr(run.output.size() > 80 ? run.output.size() - 80 : 0));
        return problems;
    } else if (*final == clean.finalMessage && !allowed.count(*final)) {
        // A failure the updater ignores by design: the outcome must be the clean run's, save the
        // restore's own diagnostic line when the restore was what failed. A device passed over
        // in the search may lose or gain its own message before the scanner is found.
        std::string got = WithoutDiagnostic(run.output), want = clean.output;
        if (phase == Phase::Search) {
            const std::string found = std::string(MessageText(MSG_DEVICE_FOUND, language)) + "\n";
            got = got.substr(std::min(got.find(found), got.size()));
            want = want.substr(std::min(want.find(found), want.size()));
        }
        // A console that cannot be asked whether it is the program's own is taken for a shared
        // one: the closing prompt is left out rather than a script held up.
        const std::string prompt = std::string(MessageText(MSG_PRESS_ANY_KEY, language)) + "\n";
        const bool consoleUnknown =
            failed.call == "GetConsoleProcessList" || failed.call == "GetStdHandle" || failed.call == "GetConsoleMode";
        if (consoleUnknown && got.size() + prompt.size() == want.size() &&
            want.compare(got.size(), prompt.size(), prompt) == 0)
            want.resize(got.size());
        bool same = got == want && (reachesRestore || WithoutDiagnostic(run.output) == run.output);
        if (!same)
            problems.push_back("same final message as the clean run but different output");
    } else if (*final != clean.finalMessage && !allowed.count(*final)) {
        problems.push_back("final message " + std::to_string(*final) + " is not documented for a failure in the " +
                           PhaseName(phase));
    }

    const bool pastServiceStep =
        Contains(run.output, MSG_CLOSING_WIA, language) && !Contains(run.output, MSG_WIA_CLOSE_FAILED, language);
    // The updater found the service active exactly when it touched it: a stop request or a change
    // of start type. A service it left alone (wiaWasActive false) is not restored.
    const nlohmann::json& service = run.report["service"];
    const bool touched = service.is_object() && (service["stopRequests"] != 0 || !service["configChanges"].empty());
    if (clean.serviceWasActive && pastServiceStep && touched) {
        bool restoreAttempted = false, readyWaitBegun = false;
        for (const sim::JournalEntry& e : run.journal) {
            readyWaitBegun = readyWaitBegun || IsTransferEvent(e);
            if (readyWaitBegun && kServiceCalls.count(e.call))
                restoreAttempted = true;
        }
        if (!restoreAttempted)
            problems.push_back("the service was not restored");
        const bool serviceCallFailed = kServiceCalls.count(failed.call) || failed.call == "Sleep";
        const nlohmann::json& svc = run.report["service"];
        if (!serviceCallFailed && (svc["state"] != "running" || svc["startType"] != "auto"))
            problems.push_back("service left " + svc["state"].get<std::string>() + "/" +
                               svc["startType"].get<std::string>());
    }
    return problems;
}

}  // namespace sweep
