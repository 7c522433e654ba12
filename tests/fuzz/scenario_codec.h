// Fuzzer bytes <-> scenarios of the simulated host.
//
// Any byte string decodes to a valid scenario whose run ends in milliseconds on the virtual clock:
// every list is short, the scanner never burns for ever, and no failure plan can stop the clock.
// Encoding is the inverse for scenarios within those limits; it turns the built-in scenarios into
// the fuzzer's seed corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/scenario.h"

namespace fuzz {

constexpr size_t MAX_ARGS = 4;
constexpr size_t MAX_ARG_BYTES = 255;
constexpr size_t MAX_DEVICES = 4;
constexpr size_t MAX_READY_REPLIES = 8;
constexpr size_t MAX_DOWNLOAD_REPLIES = 2;
constexpr size_t MAX_PROGRESS_REPLIES = 16;
constexpr size_t MAX_FAULTS = 3;
constexpr size_t MAX_INSTANCES = 6;  // besides the scanner's own entry
constexpr size_t MAX_VALUES = 4;
constexpr size_t MAX_VALUE_NAME_BYTES = 32;
constexpr size_t MAX_VALUE_BYTES = 512;
constexpr size_t MAX_MUTEXES = 3;
constexpr size_t MAX_MUTEX_NAME_BYTES = 300;
constexpr size_t MAX_FAILURES = 3;
constexpr size_t MAX_INTERRUPTS = 3;
// A Sleep (or a pause's wait) that fails for good would freeze the virtual clock, and with it every
// wait that only ends when time passes; a plan that asks for that gets this many failed pauses.
constexpr uint32_t MAX_SLEEP_FAILURES = 64;

// The image sizes a scenario may give (besides the real ones): a cache keeps every image made, so
// the sizes must come from a short list.
const std::vector<uint32_t>& ImageSizes(int resourceId);

sim::Scenario DecodeScenario(const uint8_t* data, size_t size);
// The bytes that decode to `scenario`; std::invalid_argument for a scenario beyond the limits.
std::vector<uint8_t> EncodeScenario(const sim::Scenario& scenario);

}  // namespace fuzz
