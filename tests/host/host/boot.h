// Shared by the host-coordination tests: a fresh simulated host from a scenario text, and the
// counts the tests look at afterwards.
#pragma once

#include <numeric>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/scenario.h"

namespace hosttest {

inline void Boot(const std::string& scenarioJson) {
    sim::RunOptions options;
    options.journal = true;
    sim::Boot(sim::ParseScenario(scenarioJson, "t"), options);
}

inline int OpenHandles(const char* kind) {
    return sim::OpenHandleCounts().at(kind);
}

inline uint32_t Calls(const char* call) {
    auto it = sim::M().callCounts.find(call);
    return it == sim::M().callCounts.end() ? 0 : it->second;
}

inline uint64_t SleptMs() {
    const std::vector<uint32_t>& s = sim::M().sleeps;
    return std::accumulate(s.begin(), s.end(), uint64_t{0});
}

// The simulated functions called, in order.
inline std::vector<std::string> CallOrder() {
    std::vector<std::string> names;
    for (const sim::JournalEntry& e : sim::M().journal) names.push_back(e.call);
    return names;
}

}  // namespace hosttest
