// The hash comes from the system's libcrypto: a simulated update hashes every image it sends
// (8 MiB and more), and the library's hardware-accelerated code makes that a small part of a run.
#include "sim/sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

#include "text/hex.h"

namespace sim {
namespace {

constexpr size_t DIGEST_BYTES = 32;

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
    return HexBytes(digest, DIGEST_BYTES);
}

}  // namespace sim
