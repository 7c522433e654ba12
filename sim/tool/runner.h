// Runs the updater's own entry point against a simulated host built from a scenario.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/scenario.h"
#include "sim/threads.h"

namespace sim {

struct RunResult {
    ProcessEnd ended = ProcessEnd::Return;
    int64_t exitCode = -1;            // 0xC000013A when the system ended the process
    std::string output;               // standard output, byte for byte, when captured
    std::vector<OutputWrite> writes;  // the same as the C runtime passed it on, write by write
    nlohmann::json report;
    std::vector<JournalEntry> journal;  // with RunOptions::journal
};

// Boots the machine, runs the updater with the scenario's args (or `args` when given) and builds
// the report. With `captureOutput` the updater's standard output is collected instead of shown.
RunResult RunUpdater(const Scenario& scenario, const RunOptions& options, bool captureOutput,
                     const std::vector<std::string>* args = nullptr);

// The entry point of a program that runs against the simulated host: the updater's or the probe's.
using ProgramMain = int (*)(int argc, char* argv[]);
// Boots the machine and runs `entry` as the program `programName` with `args` (argv[1..]).
RunResult RunProgram(ProgramMain entry, const char* programName, const Scenario& scenario, const RunOptions& options,
                     bool captureOutput, const std::vector<std::string>& args);

}  // namespace sim
