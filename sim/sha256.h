// SHA-256, for the run report's hash of every image the substitute scanner receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// The SHA-256 of `length` bytes at `data`, as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, size_t length);

}  // namespace sim
