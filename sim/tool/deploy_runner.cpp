#include "sim/tool/deploy_runner.h"

#include "deploy/deploy_main.h"

namespace sim {
namespace {

constexpr const char* DEPLOY_FILE = "scanfw-deploy.exe";
constexpr const char* UPDATER_FILE = "scanfw.exe";

}  // namespace

Scenario UnderDeploy(const Scenario& scenario) {
    Scenario child = scenario;
    child.console.redirected = true;
    child.console.processes = scenario.console.processes + 1;
    return child;
}

DeployRun RunDeploy(const Scenario& scenario, const RunOptions& options, const std::string& folder,
                    const std::vector<std::string>& deployArgs, const std::vector<std::string>& updaterArgs) {
    DeployRun run;
    run.updater = RunUpdater(UnderDeploy(scenario), options, true, &updaterArgs);
    ChildProgram child;
    child.path = folder + "/" + UPDATER_FILE;
    child.output = run.updater.writes;
    child.endMs = run.updater.report["elapsedMs"].get<uint64_t>();
    child.exitCode = static_cast<uint32_t>(run.updater.exitCode);

    RunOptions deployOptions = options;
    deployOptions.program.modulePath = folder + "/" + DEPLOY_FILE;
    deployOptions.program.child = std::move(child);
    run.deploy = RunProgram(DeployMain, DEPLOY_FILE, scenario, deployOptions, true, deployArgs);
    // What the deploy's run left on the machine, before another run boots it afresh.
    run.commandLines = M().launches.commandLines;
    run.registry = M().writtenKeys.keys;
    return run;
}

}  // namespace sim
