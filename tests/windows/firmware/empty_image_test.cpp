// An executable whose image 121 is an empty BINARY resource: it is found, loaded and locked,
// and then refused for its zero length with message 8, never handed out.
#include <gtest/gtest.h>

#include "firmware/firmware_image.h"
#include "platform/win32.h"

namespace {

TEST(EmptyImage, IsRefusedWithMessageEight) {
    FirmwareImage image = LoadFirmwareImage(FIRMWARE_RESOURCE_STANDARD);
    EXPECT_FALSE(image.loaded);
    EXPECT_EQ(image.failure, MSG_RESOURCE_EMPTY_ERROR);
    EXPECT_EQ(image.data, nullptr);
    EXPECT_EQ(image.length, 0u);
}

TEST(EmptyImage, OnlyTheLengthStepFails) {
    // The simulated host answers an empty image the same way.
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(FIRMWARE_RESOURCE_STANDARD), FIRMWARE_RESOURCE_TYPE);
    ASSERT_NE(found, nullptr);
    HGLOBAL loaded = LoadResource(nullptr, found);
    ASSERT_NE(loaded, nullptr);
    EXPECT_NE(LockResource(loaded), nullptr);
    EXPECT_EQ(SizeofResource(nullptr, found), 0u);
}

TEST(EmptyImage, TheOtherImageStillLoads) {
    FirmwareImage image = LoadFirmwareImage(SelectFirmwareImage(MODEL_CODE_LARGE).resourceId);
    ASSERT_TRUE(image.loaded);
    EXPECT_EQ(image.length, static_cast<uint32_t>(SMALL_IMAGE_SIZE));
}

}  // namespace
