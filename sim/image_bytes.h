// The bytes of the simulated executable's stand-in firmware images.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// The content of image `id` of `size` bytes: byte k is (id + 7 * k) mod 251. Made on first use
// and kept at the same address until the process ends (a smaller image of the id is the start of
// the same bytes); null only when the memory cannot be had. Under the address sanitizer only the
// `size` bytes last handed out for the id may be read.
const uint8_t* ImageBytes(int id, uint32_t size);
// The same image damaged: its byte at size / 2 changed (xor 0xFF). A block of its own for each
// (id, size), made on first use and kept until the process ends; null for an empty image, which
// has no byte to change, or when the memory cannot be had.
const uint8_t* DamagedImageBytes(int id, uint32_t size);
// Whether `size` bytes at `data` are one whole image as ImageBytes hands them out (of any size up
// to the largest of its id asked for so far), or as DamagedImageBytes does.
bool IsWholeImage(const uint8_t* data, size_t size);

}  // namespace sim
