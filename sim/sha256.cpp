// The hash comes from the system's libcrypto: a simulated update hashes every image it sends
// (8 MiB and more), and the library's hardware-accelerated code makes that a small part of a run.
#include "sim/sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "sim/image_bytes.h"
#include "text/hex.h"

namespace sim {
namespace {

// Fails only when libcrypto cannot initialise or allocate; no run can go on meaningfully without
// its hashes, so the simulator stops there.
[[noreturn]] void CryptoFailed() {
    std::fputs("scanfw-sim: libcrypto failed to compute a SHA-256\n", stderr);
    std::abort();
}

Sha256Digest Compute(const uint8_t* data, size_t length) {
    Sha256Digest digest;
    unsigned int digestLength = 0;
    if (EVP_Digest(data, length, digest.data(), &digestLength, EVP_sha256(), nullptr) != 1 ||
        digestLength != SHA256_BYTES)
        CryptoFailed();
    return digest;
}

}  // namespace

Sha256Digest Sha256(const uint8_t* data, size_t length) {
    if (!IsWholeImage(data, length))
        return Compute(data, length);
    // Keyed by address and length: an image's block stays where it is, with the same bytes, until
    // the process ends.
    static std::map<std::pair<const uint8_t*, size_t>, Sha256Digest> images;
    auto known = images.find({data, length});
    if (known == images.end())
        known = images.emplace(std::pair{data, length}, Compute(data, length)).first;
    return known->second;
}

std::string Sha256Hex(const uint8_t* data, size_t length) {
    const Sha256Digest digest = Sha256(data, length);
    return HexBytes(digest.data(), digest.size());
}

// Bytes are hashed as they come, but for a whole image given first: that one waits, by address, to
// see whether anything follows it, so that an image hashed alone costs a look-up.
struct Sha256Stream::State {
    EVP_MD_CTX* context = nullptr;
    bool added = false;
    const uint8_t* wholeImage = nullptr;
    size_t wholeImageLength = 0;
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1)
        CryptoFailed();
}

Sha256Stream::~Sha256Stream() {
    EVP_MD_CTX_free(state_->context);
}

void Sha256Stream::Add(const uint8_t* data, size_t length) {
    State& s = *state_;
    if (!s.added && IsWholeImage(data, length)) {
        s.added = true;
        s.wholeImage = data;
        s.wholeImageLength = length;
        return;
    }
    s.added = true;
    if (s.wholeImage != nullptr) {
        if (EVP_DigestUpdate(s.context, s.wholeImage, s.wholeImageLength) != 1)
            CryptoFailed();
        s.wholeImage = nullptr;
    }
    if (length != 0 && EVP_DigestUpdate(s.context, data, length) != 1)
        CryptoFailed();
}

Sha256Digest Sha256Stream::Finish() {
    State& s = *state_;
    if (s.wholeImage != nullptr)
        return Sha256(s.wholeImage, s.wholeImageLength);
    Sha256Digest digest;
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(s.context, digest.data(), &length) != 1 || length != SHA256_BYTES)
        CryptoFailed();
    return digest;
}

}  // namespace sim
