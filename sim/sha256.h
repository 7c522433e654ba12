// SHA-256, for the run report's hash of every image the substitute scanner receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

class Sha256 {
public:
    Sha256();
    void Update(const uint8_t* data, size_t length);
    std::string HexDigest();  // finishes the hash; 64 lower-case hex digits

private:
    void Block(const uint8_t* block);
    uint32_t h_[8];
    uint8_t buffer_[64];
    size_t buffered_ = 0;
    uint64_t totalBytes_ = 0;
};

std::string Sha256Hex(const uint8_t* data, size_t length);

}  // namespace sim
