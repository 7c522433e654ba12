// What a capture cannot show, taken from the scenario that was captured: how the scanner answers
// after its first reply, transfer faults, failures, when another program lets go of a lock, the
// clock, the console, and how the service's pending states go on. The Wine harness applies the
// same rule (tests/wine/harness), so that both compare a replay with what really ran.
#pragma once

#include <nlohmann/json.hpp>

nlohmann::json CompleteCapture(const nlohmann::json& capture, const nlohmann::json& original);
