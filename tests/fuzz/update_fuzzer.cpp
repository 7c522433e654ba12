// Fuzz target: a whole update driven by the fuzzer's bytes. They decide what the simulated host
// is like (the scanner's replies and transfer faults, the imaging service, the registry entries,
// the mutexes other programs hold, the images, calls made to fail, the command line); every run
// must keep the updater's promises. A broken promise aborts, which the fuzzer reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzzed_run_checks.h"
#include "scenario_codec.h"
#include "sim/tool/runner.h"

namespace {

// How much of the output's end a report shows.
constexpr size_t OUTPUT_TAIL_BYTES = 400;

sim::RunOptions Options() {
    sim::RunOptions o;
    o.journal = true;      // the checks follow the calls in order
    o.hashImages = false;  // a multi-megabyte hash per run would dominate the time
    // To see what a finding does: SCANFW_FUZZ_TRACE=1 update_fuzzer FILE prints every call.
    o.trace = std::getenv("SCANFW_FUZZ_TRACE") != nullptr;
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const sim::Scenario scenario = fuzz::DecodeScenario(data, size);
    const sim::RunResult run = sim::RunUpdater(scenario, Options(), /*captureOutput=*/true);
    const std::vector<std::string> problems = fuzz::CheckFuzzedRun(scenario, run);
    if (problems.empty()) {
        // The simulated host keeps a run's records until the next boot. Forgetting them now lets
        // the fuzzer's leak check see an input that gave back all it took.
        sim::FreeLeftoverLocalBlocks();
        sim::M() = sim::Machine{};
        return 0;
    }

    for (const std::string& p : problems) std::fprintf(stderr, "broken promise: %s\n", p.c_str());
    const size_t tail = run.output.size() > OUTPUT_TAIL_BYTES ? run.output.size() - OUTPUT_TAIL_BYTES : 0;
    std::fprintf(stderr, "output ends:\n%s\nreport:\n%s\n", run.output.substr(tail).c_str(),
                 run.report.dump(2).c_str());
    std::abort();
}
