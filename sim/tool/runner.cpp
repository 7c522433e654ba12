#include "sim/tool/runner.h"

#include <cstdio>

#include "app/entry.h"
#include "app/printed_messages.h"
#include "sim/output.h"
#include "sim/report.h"
#include "sim/threads.h"

namespace sim {

RunResult RunUpdater(const Scenario& scenario, const RunOptions& options, bool captureOutput,
                     const std::vector<std::string>* args) {
    return RunProgram(UpdaterMain, "scanfw.exe", scenario, options, captureOutput,
                      args != nullptr ? *args : scenario.args);
}

RunResult RunProgram(ProgramMain entry, const char* programName, const Scenario& scenario, const RunOptions& options,
                     bool captureOutput, const std::vector<std::string>& arguments) {
    std::vector<std::string> storage;
    storage.push_back(programName);
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    Boot(scenario, options);
    RunResult result;
    BeginOutput(captureOutput);
    const int returned = entry(static_cast<int>(storage.size()), argv.data());
    const ProcessEnd how = HowProcessEnded() == ProcessEnd::Running ? ProcessEnd::Return : HowProcessEnded();
    FinishThreads();
    const std::string output = EndOutput();
    if (captureOutput) {
        result.output = output;
        result.writes = TakeOutputWrites();
    }
    // A run stopped at the time limit has no exit code: its process never ended.
    result.exitCode = how == ProcessEnd::Return ? returned : how == ProcessEnd::TimeLimit ? -1 : M().exitCode;
    result.ended = how;
    result.report = BuildReport(result.exitCode, how, PrintedMessages(output, scenario.userLangId));
    result.journal = M().journal;
    return result;
}

}  // namespace sim
