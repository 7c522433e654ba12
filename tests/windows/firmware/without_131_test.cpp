// An executable built without image 131: scanners of model 8 get message 5, every other model
// still gets image 121. Also pins down how Windows looks resources up, which the simulated host
// copies (the same table runs in the host tests).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "firmware/firmware_image.h"
#include "platform/win32.h"
#include "tests/host/firmware/lookup_cases.h"
#include "tests/windows/firmware/embedded_file.h"

namespace {

TEST(Without131, ModelEightGetsMessageFive) {
    FirmwareImage image = LoadFirmwareImage(SelectFirmwareImage(MODEL_CODE_LARGE).resourceId);
    EXPECT_FALSE(image.loaded);
    EXPECT_EQ(image.failure, MSG_FIND_RESOURCE_ERROR);
    EXPECT_EQ(image.data, nullptr);
    EXPECT_EQ(image.length, 0u);
}

TEST(Without131, EveryOtherModelStillLoadsImage121) {
    std::vector<uint8_t> want = ReadEmbeddedFile(SMALL_121_FILE);
    ASSERT_EQ(want.size(), static_cast<size_t>(SMALL_IMAGE_SIZE));
    for (int model : {0, 1, 7, 9, 0x80, 0xFF}) {
        FirmwareImage image = LoadFirmwareImage(SelectFirmwareImage(static_cast<uint8_t>(model)).resourceId);
        ASSERT_TRUE(image.loaded) << model;
        ASSERT_EQ(image.length, want.size()) << model;
        EXPECT_EQ(std::memcmp(image.data, want.data(), want.size()), 0) << model;
    }
}

TEST(WindowsLookup, AnswersAsTheSimulatedHostDoes) {
    for (const LookupCase& c : LOOKUP_CASES) {
        SetLastError(ERROR_SUCCESS);
        HRSRC found = FindResourceA(nullptr, c.name, c.type);
        if (c.error == ERROR_SUCCESS) {
            EXPECT_NE(found, nullptr) << c.what;
            EXPECT_EQ(SizeofResource(nullptr, found), static_cast<DWORD>(SMALL_IMAGE_SIZE)) << c.what;
        } else {
            EXPECT_EQ(found, nullptr) << c.what;
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
    }
}

}  // namespace
