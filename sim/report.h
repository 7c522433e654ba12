// The run report: what the simulated host saw the updater do.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

#include "sim/threads.h"

namespace sim {

// `messages`: the catalogue ids the updater printed, in order.
nlohmann::json BuildReport(int64_t exitCode, ProcessEnd how = ProcessEnd::Return,
                           const std::vector<int>& messages = {});

}  // namespace sim
