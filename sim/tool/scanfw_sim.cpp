// scanfw-sim: the updater's own code against a simulated Windows host described by a scenario.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim/builtin_scenarios.h"
#include "sim/runner.h"

namespace {

constexpr int EXIT_BAD_INPUT = 2;

const char kUsage[] =
    "usage: scanfw-sim [--scenario NAME|FILE] [--clock real|virtual] [--trace] [--report FILE]\n"
    "                  [--list] [--help] [-- ARG...]\n"
    "\n"
    "Runs the scanner firmware updater against a simulated Windows host.\n"
    "\n"
    "  --scenario NAME|FILE  a built-in scenario (see --list) or a JSON scenario file;\n"
    "                        default: update\n"
    "  --clock real|virtual  real (default): pauses really pause; virtual: they take no time\n"
    "  --trace               every simulated Windows call on standard error\n"
    "  --report FILE         write the run report (JSON) after the run\n"
    "  --list                the built-in scenarios, one a line\n"
    "  --help                this text\n"
    "  -- ARG...             the updater's own command line, in place of the scenario's args\n"
    "\n"
    "Standard output is the updater's, byte for byte. Exit code: the updater's (0), or 2 for a\n"
    "bad option or scenario.\n";

int BadInput(const std::string& line) {
    std::fprintf(stderr, "scanfw-sim: %s\n", line.c_str());
    return EXIT_BAD_INPUT;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string scenarioName = sim::DEFAULT_SCENARIO;
    std::string reportPath;
    sim::RunOptions options;
    options.realClock = true;
    bool haveArgs = false;
    std::vector<std::string> args;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* option) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)option;
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--list") {
            for (const sim::BuiltinScenario& s : sim::BuiltinScenarios()) std::printf("%-22s %s\n", s.name, s.description);
            return 0;
        } else if (a == "--scenario") {
            const char* v = value("--scenario");
            if (v == nullptr) return BadInput("--scenario needs a name or a file");
            scenarioName = v;
        } else if (a == "--clock") {
            const char* v = value("--clock");
            if (v == nullptr || (std::strcmp(v, "real") != 0 && std::strcmp(v, "virtual") != 0))
                return BadInput("--clock takes real or virtual");
            options.realClock = std::strcmp(v, "real") == 0;
        } else if (a == "--trace") {
            options.trace = true;
        } else if (a == "--report") {
            const char* v = value("--report");
            if (v == nullptr || *v == '\0') return BadInput("--report needs a file");
            reportPath = v;
        } else if (a == "--") {
            haveArgs = true;
            for (++i; i < argc; ++i) args.push_back(argv[i]);
        } else {
            return BadInput("unknown option " + a + " (see --help)");
        }
    }

    sim::Scenario scenario;
    try {
        if (const sim::BuiltinScenario* b = sim::FindBuiltinScenario(scenarioName))
            scenario = sim::ParseScenario(b->json, b->name);
        else
            scenario = sim::LoadScenarioFile(scenarioName);
    } catch (const sim::ScenarioError& e) {
        return BadInput(e.what());
    }

    std::ofstream report;
    if (!reportPath.empty()) {
        report.open(reportPath, std::ios::binary | std::ios::trunc);
        if (!report) return BadInput(reportPath + ": cannot be written");
    }

    sim::RunResult result = sim::RunUpdater(scenario, options, false, haveArgs ? &args : nullptr);
    if (report.is_open()) {
        report << result.report.dump(2) << "\n";
        report.close();
        if (!report) std::fprintf(stderr, "scanfw-sim: %s: writing the report failed\n", reportPath.c_str());
    }
    // A process the system ended exits with 0xC000013A; a shell sees its low byte, as under Wine.
    return static_cast<int>(result.exitCode & 0xFF);
}
