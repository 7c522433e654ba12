// The probe's round trip on the simulated host: capture a scenario's PC, complete the capture with
// what a probe cannot see, replay it, and compare with the run on the original. Shared by the host
// tests and the capture fuzzer; the Wine harness applies the same completion rule in Python.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/scenario.h"
#include "sim/tool/runner.h"

namespace probe_test {

// Where the tests' probe is told the updater's exe is (the simulated disk has it in any folder).
constexpr const char* EXE_PATH = "C:\\Support\\scanfw.exe";

// Runs scanfw-probe with `args` on the simulated PC `pc`, its standard output captured.
sim::RunResult RunProbe(const sim::Scenario& pc, const std::vector<std::string>& args, const sim::RunOptions& options);

// The PC as a probe meets it: nothing fails, no transfer goes wrong, and it runs in a command
// prompt that nobody interrupts.
sim::Scenario AsProbeMeetsIt(sim::Scenario original);

// The capture and, from the original, what a probe cannot see: `args`, `tickStart`, `failures`,
// `console`; each captured device's scanner replies (after the captured first one) and faults;
// each captured lock's `releaseAfterMs` (names compared in the session namespace); the service's
// `pendingQueries`, and its `waitHint`, `state`, `controlsAccepted` and `startType` when the
// capture could not read them.
// Throws sim::ScenarioError when the completed capture is not a scenario.
sim::Scenario CompleteCapture(const nlohmann::json& capture, const sim::Scenario& original);

struct RoundTrip {
    std::vector<std::string> problems;  // empty: the replay agreed and the probe changed nothing
    std::string capture;                // the probe's output
    bool compared = false;              // false when the capture says it could not keep something the run needs
};

// Runs the probe on the original's PC (`askScanner`: with --ask-scanner), then the updater on the
// original and on the completed capture.
RoundTrip CaptureAndReplay(const sim::Scenario& original, bool askScanner, const sim::RunOptions& options);

}  // namespace probe_test
