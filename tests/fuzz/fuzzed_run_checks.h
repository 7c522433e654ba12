// What every fuzzed run of the updater must look like, whatever the scanner answered, whatever
// failed and whatever the command line said.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/scenario.h"
#include "sim/tool/runner.h"

namespace fuzz {

// The journal index of the first transfer failure the run met: a channel call that the failure
// plan made fail, or a transfer that hit one of the scanner's faults. Null when there was none.
std::optional<size_t> FirstTransferFailure(const sim::Scenario& scenario, const sim::RunResult& run);

// The problems of a run (empty when it kept every promise): exit code 0, every lock released, no
// handle or local memory left behind (calls the plan made fail excused), nothing sent to the
// scanner after a failed transfer, the output ending with one final message, and the imaging
// service set back to automatic start whenever the updater got past the service step having
// stopped or disabled it. A run that a console event ended is held to what can still be asked of
// it: one the system ended, to nothing; one a closing console ended, to no final message.
std::vector<std::string> CheckFuzzedRun(const sim::Scenario& scenario, const sim::RunResult& run);

}  // namespace fuzz
