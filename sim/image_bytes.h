// The bytes of the simulated executable's stand-in firmware images.
#pragma once

#include <cstdint>

namespace sim {

// The content of image `id` of `size` bytes: byte k is (id + 7 * k) mod 251. Made on first use
// and kept at the same address until the process ends; null only when the memory cannot be had.
const uint8_t* ImageBytes(int id, uint32_t size);

}  // namespace sim
