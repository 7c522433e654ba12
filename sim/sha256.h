// SHA-256 for the simulated host: the run report's hash of every image the substitute scanner
// receives, and the simulated hash functions of Windows' cryptography APIs.
//
// A whole stand-in image (sim::ImageBytes) is hashed once per process: its bytes never change, and
// the host tests and fuzzers hash the same images thousands of times.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sim {

constexpr size_t SHA256_BYTES = 32;
using Sha256Digest = std::array<uint8_t, SHA256_BYTES>;

// The SHA-256 of `length` bytes at `data`.
Sha256Digest Sha256(const uint8_t* data, size_t length);
// The same as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, size_t length);

// A SHA-256 given its bytes piece by piece, as a hash object of Windows is.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;
    void Add(const uint8_t* data, size_t length);
    Sha256Digest Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace sim
