// The content that the scenario format gives every simulated image and that the stand-in
// images of the Windows build have: byte k of image `id` is (id + 7 * k) mod 251.
#pragma once

#include <cstdint>
#include <string>

// The position of the first byte of `data` that breaks the pattern, or `size` when none does.
inline uint64_t FirstPatternMismatch(const uint8_t* data, uint64_t size, int id) {
    for (uint64_t k = 0; k < size; ++k)
        if (data[k] != static_cast<uint8_t>((id + 7 * k) % 251))
            return k;
    return size;
}
