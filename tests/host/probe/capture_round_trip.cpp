#include "capture_round_trip.h"

#include "probe/probe_main.h"
#include "sim/machine.h"
#include "text/hex.h"
#include "text/win32_names.h"

namespace probe_test {
namespace {

using nlohmann::json;

const char* const PROBE = "scanfw-probe.exe";
const std::string READY_QUERY = "20020000120002000000000000000000";
const char* const SESSION_PREFIX = "Local\\";

json Replies(const std::vector<sim::ReplyBytes>& replies, size_t from = 0) {
    json list = json::array();
    for (size_t i = from; i < replies.size(); ++i)
        list.push_back({{"raw", HexBytes(replies[i].data(), replies[i].size())}});
    return list;
}

json Faults(const std::vector<sim::TransferFault>& faults) {
    static const char* const kinds[] = {"fail", "noSignal", "resultFails", "short", "long"};
    json list = json::array();
    for (const sim::TransferFault& f : faults)
        list.push_back({{"op", f.onRead ? "read" : "write"}, {"n", f.n}, {"kind", kinds[static_cast<int>(f.kind)]}});
    return list;
}

std::string SessionName(const std::string& name) {
    return name.rfind(SESSION_PREFIX, 0) == 0 ? name.substr(std::string(SESSION_PREFIX).size()) : name;
}

// What the probe must leave of the PC: nothing changed, nothing open, no lock, nothing sent unasked.
std::vector<std::string> Untouched(const sim::RunResult& run, bool asked) {
    std::vector<std::string> problems;
    const json& report = run.report;
    if (run.exitCode != 0)
        problems.push_back("the probe's exit code is " + std::to_string(run.exitCode));
    for (const auto& [kind, count] : report["openHandles"].items())
        if (count != 0)
            problems.push_back("the probe left " + count.dump() + " " + kind + " handle(s) open");
    const json& service = report["service"];
    if (service["stopRequests"] != 0 || service["startRequests"] != 0 || !service["configChanges"].empty())
        problems.push_back("the probe controlled the service: " + service.dump());
    if (!report["mutexes"].empty())
        problems.push_back("the probe created a lock: " + report["mutexes"].dump());
    if (report["device"].is_object()) {
        const json& device = report["device"];
        const json expected = asked ? json::array({READY_QUERY}) : json::array();
        if (device["commands"] != expected || !device["images"].empty())
            problems.push_back("the scanner received " + device.dump() + (asked ? "" : " unasked"));
    }
    return problems;
}

}  // namespace

sim::RunResult RunProbe(const sim::Scenario& pc, const std::vector<std::string>& args, const sim::RunOptions& options) {
    return sim::RunProgram(ProbeMain, PROBE, pc, options, true, args);
}

sim::Scenario AsProbeMeetsIt(sim::Scenario original) {
    original.failures.clear();
    // Started from a command prompt, as support asks: its capture then goes to standard output.
    original.console = sim::ConsoleSpec{};
    for (sim::DeviceSpec& d : original.devices) d.scanner.faults.clear();
    return original;
}

sim::Scenario CompleteCapture(const json& capture, const sim::Scenario& original) {
    json done = capture;
    for (json& device : done["devices"]) {
        for (const sim::DeviceSpec& given : original.devices) {
            if (device.value("index", -1) != given.index)
                continue;
            json scanner = device.value("scanner", json::object());
            const bool captured = scanner.contains("ready") && !scanner["ready"].empty();
            json ready = captured ? json::array({scanner["ready"][0]}) : json::array();
            for (const json& reply : Replies(given.scanner.ready, captured ? 1 : 0)) ready.push_back(reply);
            scanner["ready"] = ready;
            scanner["download"] = Replies(given.scanner.download);
            scanner["progress"] = Replies(given.scanner.progress);
            scanner["faults"] = Faults(given.scanner.faults);
            device["scanner"] = scanner;
        }
    }
    for (json& mutex : done["mutexes"])
        for (const sim::MutexSpec& given : original.mutexes)
            if (given.releaseAfterMs && SessionName(given.name) == SessionName(mutex.value("name", "")))
                mutex["releaseAfterMs"] = *given.releaseAfterMs;
    json& service = done["service"];
    const sim::ServiceSpec& s = original.service;
    service["pendingQueries"] = s.pendingQueries;
    if (!service.contains("waitHint"))
        service["waitHint"] = s.waitHint;
    if (!service.contains("state")) {
        service["state"] = ServiceStateName(s.state);
        service["controlsAccepted"] = s.controlsAccepted;
    }
    if (!service.contains("startType"))
        service["startType"] = sim::StartTypeText(s.startType);
    // How the run is started and what happens in it, as the original has it: its command line may
    // hold any bytes, which no scenario file (UTF-8) could.
    sim::Scenario completed = sim::ParseScenario(done.dump(), "capture");
    completed.args = original.args;
    completed.tickStart = original.tickStart;
    completed.failures = original.failures;
    completed.console = original.console;
    return completed;
}

RoundTrip CaptureAndReplay(const sim::Scenario& original, bool askScanner, const sim::RunOptions& options) {
    RoundTrip trip;
    std::vector<std::string> args = {"--exe", EXE_PATH};
    if (askScanner)
        args.push_back("--ask-scanner");
    const sim::RunResult probed = RunProbe(AsProbeMeetsIt(original), args, options);
    trip.capture = probed.output;
    trip.problems = Untouched(probed, askScanner);
    json capture;
    try {
        capture = json::parse(probed.output);
    } catch (const json::exception& e) {
        trip.problems.push_back(std::string("the capture is not JSON: ") + e.what());
        return trip;
    }
    // A lock name in another code page cannot be written to a scenario file (the probe notes it).
    for (const json& note : capture["probe"]["notes"])
        if (note["step"] == "mutexes" && note["call"] == "OpenMutexA")
            return trip;

    sim::Scenario replay;
    try {
        replay = CompleteCapture(capture, original);
    } catch (const sim::ScenarioError& e) {
        trip.problems.push_back(std::string("the completed capture is not a scenario: ") + e.what());
        return trip;
    }
    const sim::RunResult expected = sim::RunUpdater(original, options, true);
    const sim::RunResult got = sim::RunUpdater(replay, options, true);
    trip.compared = true;
    if (got.output != expected.output)
        trip.problems.push_back("the replay printed\n" + got.output + "\ninstead of\n" + expected.output);
    json gotReport = got.report;
    json expectedReport = expected.report;
    // A pending state that ends at its first read shows the probe its end already: only a run that
    // never reads the service again can tell, by the final state its report gives.
    if (IsPendingServiceState(original.service.state) && original.service.pendingQueries == 0 &&
        expectedReport["service"]["state"] == ServiceStateName(original.service.state)) {
        gotReport["service"].erase("state");
        expectedReport["service"].erase("state");
    }
    if (gotReport != expectedReport)
        trip.problems.push_back("the replay's report\n" + got.report.dump() + "\ninstead of\n" +
                                expected.report.dump());
    return trip;
}

}  // namespace probe_test
