// Hashing an image through CryptoAPI: the digest is SHA-256's, and whichever step fails, the result
// says so and no hash object or context is left open.
#include "firmware/image_digest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/image_bytes.h"
#include "sim/machine.h"
#include "sim/sha256.h"
#include "sim/tool/runner.h"

namespace {

void Boot(const std::string& scenario) {
    sim::Boot(sim::ParseScenario(scenario, "t"), sim::RunOptions{});
}

int OpenHashHandles() {
    const auto counts = sim::OpenHandleCounts();
    auto it = counts.find("hash");
    return it == counts.end() ? 0 : it->second;
}

TEST(ImageDigest, IsTheSha256OfTheImage) {
    const std::vector<uint8_t> small = {'s', 'c', 'a', 'n'};
    const uint8_t* whole = sim::ImageBytes(131, 13633428);
    ASSERT_NE(whole, nullptr);
    for (const auto& [data, length] :
         {std::pair{small.data(), small.size()}, std::pair{whole, size_t{13633428}}, std::pair{whole, size_t{0}}}) {
        Boot("{}");
        uint8_t digest[IMAGE_DIGEST_BYTES];
        ASSERT_TRUE(HashImage(data, static_cast<DWORD>(length), digest));
        const sim::Sha256Digest expected = sim::Sha256(data, length);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), digest)) << length << " bytes";
        EXPECT_EQ(OpenHashHandles(), 0);
    }
}

TEST(ImageDigest, AFailedStepIsAFailureAndLeavesNothingOpen) {
    const struct {
        const char* call;
        bool hashed;   // a failed clean-up after the digest was read leaves the digest standing
        int leftOpen;  // the object whose release failed
    } cases[] = {
        {"CryptAcquireContextA", false, 0}, {"CryptCreateHash", false, 0}, {"CryptHashData", false, 0},
        {"CryptGetHashParam", false, 0},    {"CryptDestroyHash", true, 1}, {"CryptReleaseContext", true, 1},
    };
    const uint8_t data[] = {1, 2, 3};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        Boot(std::string(R"({"failures": [{"call": ")") + c.call + R"("}]})");
        uint8_t digest[IMAGE_DIGEST_BYTES];
        EXPECT_EQ(HashImage(data, sizeof data, digest), c.hashed);
        EXPECT_EQ(OpenHashHandles(), c.leftOpen);
    }
}

}  // namespace
