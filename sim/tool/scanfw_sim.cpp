// scanfw-sim: the updater's own code against a simulated Windows host described by a scenario.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/builtin_scenarios.h"
#include "sim/tool/runner.h"

namespace {

constexpr int EXIT_BAD_INPUT = 2;
constexpr int EXIT_TIME_LIMIT = 3;
constexpr int SHOWN_INDENT = 2;
// A process the system ended exits with 0xC000013A; a shell sees its low byte, as under Wine.
constexpr int64_t EXIT_CODE_BYTE = 0xFF;

const char kUsage[] =
    "usage: scanfw-sim [--scenario NAME|FILE] [--clock real|virtual] [--trace] [--report FILE]\n"
    "                  [--limit-ms N] [--list] [--show NAME] [--help] [-- ARG...]\n"
    "\n"
    "Runs the scanner firmware updater against a simulated Windows host.\n"
    "\n"
    "  --scenario NAME|FILE  a built-in scenario (see --list) or a JSON scenario file;\n"
    "                        default: update (docs/scenarios.md describes the format)\n"
    "  --clock real|virtual  real (default): pauses really pause; virtual: they take no time\n"
    "  --trace               every simulated Windows call on standard error\n"
    "  --report FILE         write the run report (JSON) after the run\n"
    "  --limit-ms N          on the virtual clock, stop a run after N ms of simulated time\n"
    "                        (default 86400000, 24 hours)\n"
    "  --list                the built-in scenarios, one a line\n"
    "  --show NAME           print the built-in scenario NAME as a scenario file to start from\n"
    "  --help                this text\n"
    "  -- ARG...             the updater's own command line, in place of the scenario's args\n"
    "\n"
    "Standard output is the updater's, byte for byte. Exit code: the updater's (0; the low byte\n"
    "of 0xC000013A when a console event ended it), 2 for a bad option or scenario or a report\n"
    "that cannot be written, 3 when the run reached the limit of simulated time.\n";

int BadInput(const std::string& line) {
    std::fprintf(stderr, "scanfw-sim: %s\n", line.c_str());
    return EXIT_BAD_INPUT;
}

// A whole number of milliseconds, at least 1.
bool ParseLimit(const char* text, uint64_t& limit) {
    if (text == nullptr || *text == '\0')
        return false;
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    limit = value;
    return value > 0;
}

int Show(const char* name) {
    if (name == nullptr)
        return BadInput("--show needs the name of a built-in scenario (see --list)");
    const sim::BuiltinScenario* b = sim::FindBuiltinScenario(name);
    if (b == nullptr)
        return BadInput(std::string(name) + ": no built-in scenario of that name (see --list)");
    // The members in the order they were written, as a file to copy and change.
    std::printf("%s\n", nlohmann::ordered_json::parse(b->json).dump(SHOWN_INDENT).c_str());
    return 0;
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
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--list") {
            for (const sim::BuiltinScenario& s : sim::BuiltinScenarios())
                std::printf("%-26s %s\n", s.name, s.description);
            return 0;
        } else if (a == "--show") {
            return Show(value());
        } else if (a == "--scenario") {
            const char* v = value();
            if (v == nullptr)
                return BadInput("--scenario needs a name or a file");
            scenarioName = v;
        } else if (a == "--clock") {
            const char* v = value();
            if (v == nullptr || (std::strcmp(v, "real") != 0 && std::strcmp(v, "virtual") != 0))
                return BadInput("--clock takes real or virtual");
            options.realClock = std::strcmp(v, "real") == 0;
        } else if (a == "--trace") {
            options.trace = true;
        } else if (a == "--report") {
            const char* v = value();
            if (v == nullptr || *v == '\0')
                return BadInput("--report needs a file");
            reportPath = v;
        } else if (a == "--limit-ms") {
            if (!ParseLimit(value(), options.limitMs))
                return BadInput("--limit-ms takes a whole number of milliseconds, at least 1");
        } else if (a == "--") {
            haveArgs = true;
            for (++i; i < argc; ++i) args.push_back(argv[i]);
        } else {
            return BadInput("unknown option " + a + " (see --help)");
        }
    }

    sim::Scenario scenario;
    try {
        if (const sim::BuiltinScenario* b = sim::FindBuiltinScenario(scenarioName)) {
            scenario = sim::ParseScenario(b->json, b->name);
        } else {
            std::error_code error;
            if (!std::filesystem::exists(scenarioName, error))
                return BadInput(scenarioName + ": (file): no built-in scenario and no file of that name (see --list)");
            scenario = sim::LoadScenarioFile(scenarioName);
        }
    } catch (const sim::ScenarioError& e) {
        return BadInput(e.what());
    }

    std::ofstream report;
    if (!reportPath.empty()) {
        report.open(reportPath, std::ios::binary | std::ios::trunc);
        if (!report)
            return BadInput(reportPath + ": cannot be written");
    }

    sim::RunResult result = sim::RunUpdater(scenario, options, false, haveArgs ? &args : nullptr);
    if (report.is_open()) {
        report << result.report.dump(2) << "\n";
        report.close();
        if (!report)
            return BadInput(reportPath + ": writing the report failed");
    }
    if (result.ended == sim::ProcessEnd::TimeLimit) {
        std::fprintf(stderr,
                     "scanfw-sim: %s: stopped after %llu ms of simulated time, the limit (--limit-ms); the report "
                     "holds the run so far\n",
                     scenario.source.c_str(), static_cast<unsigned long long>(options.limitMs));
        return EXIT_TIME_LIMIT;
    }
    return static_cast<int>(result.exitCode & EXIT_CODE_BYTE);
}
