// Runs scanfw-deploy against the simulated host, with the updater as the program it starts
// (sim/programs.h says how the started program runs).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/tool/runner.h"

namespace sim {

struct DeployRun {
    RunResult updater;                      // scanfw.exe's run, as the deploy starts it
    RunResult deploy;                       // the deploy's: its output, exit code and report
    std::vector<std::string> commandLines;  // of each program the deploy started
    std::map<std::string, std::map<std::string, WrittenValue>> registry;  // the values it wrote
};

// The scenario as scanfw.exe meets it under the deploy: its standard input and output are no
// console (no input, a pipe), and it shares the deploy's console, one process more.
Scenario UnderDeploy(const Scenario& scenario);

// Runs scanfw.exe from `folder` with `updaterArgs` on the scenario as UnderDeploy makes it, then
// scanfw-deploy.exe (`folder`/scanfw-deploy.exe, whose run may start `folder`/scanfw.exe as long
// as that file exists on the host) with `deployArgs`, both with `options`.
DeployRun RunDeploy(const Scenario& scenario, const RunOptions& options, const std::string& folder,
                    const std::vector<std::string>& deployArgs, const std::vector<std::string>& updaterArgs);

}  // namespace sim
