// Scenarios that come with scanfw-sim, by name.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct BuiltinScenario {
    const char* name;
    const char* description;
    const char* json;
};

const std::vector<BuiltinScenario>& BuiltinScenarios();
// The built-in of that name, or null.
const BuiltinScenario* FindBuiltinScenario(const std::string& name);

constexpr const char* DEFAULT_SCENARIO = "update";

}  // namespace sim
