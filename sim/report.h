// The run report: what the simulated host saw the updater do.
#pragma once

#include <nlohmann/json.hpp>

namespace sim {

nlohmann::json BuildReport(int exitCode);

}  // namespace sim
