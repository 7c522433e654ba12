// The image check against the digests in the simulated executable's message table: where the digest
// comes from, what makes the check fail, and the simulated table's and damaged images' own rules.
#include "firmware/image_check.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "firmware/firmware_image.h"
#include "sim/image_bytes.h"
#include "sim/machine.h"

namespace {

void Boot(const std::string& scenario) {
    sim::Boot(sim::ParseScenario(scenario, "t"), sim::RunOptions{});
}

TEST(ImageCheck, WhatFailsIt) {
    const struct {
        const char* what;
        const char* scenario;
        bool matches;
    } cases[] = {
        {"an intact image", "{}", true},
        {"one byte changed", R"({"resources": {"121": {"damaged": true}}})", false},
        {"a one-byte image changed", R"({"resources": {"121": {"size": 1, "damaged": true}}})", false},
        {"no digest to read", R"({"failures": [{"call": "FormatMessageA"}]})", false},
        {"no hash to take", R"({"failures": [{"call": "CryptHashData"}]})", false},
        // The digest was read before the hash object could not be destroyed: it stands.
        {"a hash object left behind", R"({"failures": [{"call": "CryptDestroyHash"}]})", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(c.scenario);
        const FirmwareImage image = LoadFirmwareImage(FIRMWARE_RESOURCE_STANDARD);
        ASSERT_TRUE(image.loaded);
        EXPECT_EQ(ImageMatchesEmbeddedDigest(nullptr, FIRMWARE_RESOURCE_STANDARD, image.data, image.length), c.matches);
    }
}

// The check's cost, for the largest image: its first hash in the process (ctest runs each test in
// a process of its own; later checks of the same bytes find the hash the simulated host keeps).
// `ctest --preset host -R ImageCheck.TheLargestImage -V | grep "first check"` shows the figure.
TEST(ImageCheck, TheLargestImageMatchesItsDigest) {
    Boot("{}");
    const FirmwareImage image = LoadFirmwareImage(FIRMWARE_RESOURCE_LARGE);
    ASSERT_TRUE(image.loaded);
    ASSERT_EQ(image.length, sim::IMAGE_131_SIZE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ImageMatchesEmbeddedDigest(nullptr, FIRMWARE_RESOURCE_LARGE, image.data, image.length));
    const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("first check of image 131 (%u bytes): %.1f ms\n", image.length, ms);
    RecordProperty("checkMs", static_cast<int>(ms));
}

TEST(SimMessageTable, AnswersAsWindowsDoes) {
    char buffer[IMAGE_DIGEST_TEXT_LENGTH + 1];
    const struct {
        const char* what;
        const char* scenario;
        DWORD flags;
        DWORD id;
        DWORD language;
        DWORD size;
        DWORD error;  // ERROR_SUCCESS: the 64 digits
    } cases[] = {
        {"US English", "{}", FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, 121, 0x0409, sizeof buffer,
         ERROR_SUCCESS},
        {"any language the search finds", "{}", FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, 131, 0,
         sizeof buffer, ERROR_SUCCESS},
        {"Chinese (Taiwan)", "{}", FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, 121, 0x0404,
         sizeof buffer, ERROR_RESOURCE_LANG_NOT_FOUND},
        {"no such message", "{}", FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, 122, 0x0409,
         sizeof buffer, ERROR_MR_MID_NOT_FOUND},
        {"an image the executable lacks", R"({"resources": {"131": {"missing": true}}})",
         FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, 131, 0x0409, sizeof buffer,
         ERROR_MR_MID_NOT_FOUND},
        {"no room for the terminator", "{}", FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, 121, 0x0409,
         IMAGE_DIGEST_TEXT_LENGTH, ERROR_INSUFFICIENT_BUFFER},
        {"inserts asked for", "{}", FORMAT_MESSAGE_FROM_HMODULE, 121, 0x0409, sizeof buffer, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(c.scenario);
        SetLastError(ERROR_SUCCESS);
        const DWORD length = FormatMessageA(c.flags, nullptr, c.id, c.language, buffer, c.size, nullptr);
        EXPECT_EQ(length, c.error == ERROR_SUCCESS ? IMAGE_DIGEST_TEXT_LENGTH : 0u);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST(SimImages, ADamagedImageDiffersInItsMiddleByteAlone) {
    for (uint32_t size : {1u, 2u, 251u, 4095u, sim::IMAGE_121_SIZE}) {
        const uint8_t* damaged = sim::DamagedImageBytes(121, size);
        const uint8_t* intact = sim::ImageBytes(121, size);
        ASSERT_NE(damaged, nullptr);
        ASSERT_NE(damaged, intact);
        uint32_t differing = 0;
        for (uint32_t k = 0; k < size; ++k)
            if (damaged[k] != intact[k]) {
                ++differing;
                EXPECT_EQ(k, size / 2) << size;
                EXPECT_EQ(damaged[k], static_cast<uint8_t>(intact[k] ^ 0xFF)) << size;
            }
        EXPECT_EQ(differing, 1u) << size;
        // The same block every time: a view stays valid until the process ends.
        EXPECT_EQ(sim::DamagedImageBytes(121, size), damaged);
        EXPECT_TRUE(sim::IsWholeImage(damaged, size));
    }
    EXPECT_EQ(sim::DamagedImageBytes(121, 0), nullptr);
}

}  // namespace
