// The hash comes from the system's libcrypto: a simulated update hashes every image it sends
// (8 MiB and more), and the library's hardware-accelerated code makes that a small part of a run.
#include "sim/sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

constexpr size_t DIGEST_BYTES = 32;
constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr unsigned HIGH_NIBBLE_SHIFT = 4;
constexpr unsigned NIBBLE_MASK = 0xF;

}  // namespace

std::string Sha256Hex(const uint8_t* data, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    // Fails only when libcrypto cannot initialise or allocate; no run can go on meaningfully
    // with a report that lacks its hashes, so the simulator stops there.
    if (EVP_Digest(data, length, digest, &digestLength, EVP_sha256(), nullptr) != 1 || digestLength != DIGEST_BYTES) {
        std::fputs("scanfw-sim: libcrypto failed to compute a SHA-256\n", stderr);
        std::abort();
    }
    std::string hex(2 * DIGEST_BYTES, '0');
    for (size_t i = 0; i < DIGEST_BYTES; ++i) {
        hex[2 * i] = HEX_DIGITS[digest[i] >> HIGH_NIBBLE_SHIFT];
        hex[2 * i + 1] = HEX_DIGITS[digest[i] & NIBBLE_MASK];
    }
    return hex;
}

}  // namespace sim
