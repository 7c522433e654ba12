// The bytes of a file that the build embedded, for the Windows tests to compare with.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

inline std::vector<uint8_t> ReadEmbeddedFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
