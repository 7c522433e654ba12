// Choosing the image by the scanner's model byte, and loading it through the four resource
// calls: the step that fails names the message, later steps are never tried, and a loaded image
// is the executable's own bytes, not a copy.
#include "firmware/firmware_image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/scenario.h"
#include "tests/host/firmware/image_pattern.h"

namespace {

const std::vector<std::string> ALL_STEPS = {"FindResourceA", "LoadResource", "LockResource", "SizeofResource"};

void BootScenario(const std::string& json) {
    sim::RunOptions options;
    options.journal = true;
    sim::Boot(sim::ParseScenario(json, "test"), options);
}

std::vector<std::string> CallsMade() {
    std::vector<std::string> calls;
    for (const sim::JournalEntry& e : sim::M().journal) calls.push_back(e.call);
    return calls;
}

TEST(SelectFirmwareImage, OnlyModelEightTakesTheLargeImage) {
    const struct {
        int model;
        int resourceId;
        uint16_t imageKind;
    } cases[] = {{8, 131, 0x1004}, {0, 121, 4},    {7, 121, 4},   {9, 121, 4},
                 {0x18, 121, 4},   {0x88, 121, 4}, {0xFF, 121, 4}};
    // 0x18 and 0x88 hold the bit of 8 among others: only the whole value 8 counts.
    for (const auto& c : cases) {
        FirmwareChoice choice = SelectFirmwareImage(static_cast<uint8_t>(c.model));
        EXPECT_EQ(choice.resourceId, c.resourceId) << c.model;
        EXPECT_EQ(choice.imageKind, c.imageKind) << c.model;
    }
}

TEST(LoadFirmwareImage, EachStepThatFailsNamesItsMessageAndEndsTheLoad) {
    const struct {
        const char* scenario;
        int resourceId;
        MessageId failure;
        size_t stepsTried;
    } cases[] = {
        {R"({"resources": {"131": {"missing": true}}})", 131, MSG_FIND_RESOURCE_ERROR, 1},
        {R"({"resources": {"121": {"missing": true}, "131": {"missing": true}}})", 121, MSG_FIND_RESOURCE_ERROR, 1},
        {R"({"resources": {"121": {"loadFails": true}}})", 121, MSG_LOAD_RESOURCE_ERROR, 2},
        {R"({"resources": {"131": {"lockFails": true}}})", 131, MSG_LOCK_RESOURCE_ERROR, 3},
        {R"({"resources": {"121": {"size": 0}}})", 121, MSG_RESOURCE_EMPTY_ERROR, 4},
        {R"({"failures": [{"call": "FindResourceA"}]})", 121, MSG_FIND_RESOURCE_ERROR, 1},
        {R"({"failures": [{"call": "LoadResource"}]})", 131, MSG_LOAD_RESOURCE_ERROR, 2},
        {R"({"failures": [{"call": "LockResource"}]})", 121, MSG_LOCK_RESOURCE_ERROR, 3},
        {R"({"failures": [{"call": "SizeofResource"}]})", 131, MSG_RESOURCE_EMPTY_ERROR, 4},
    };
    for (const auto& c : cases) {
        BootScenario(c.scenario);
        testing::internal::CaptureStdout();
        FirmwareImage image = LoadFirmwareImage(c.resourceId);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.scenario;  // the caller prints
        EXPECT_FALSE(image.loaded) << c.scenario;
        EXPECT_EQ(image.failure, c.failure) << c.scenario;
        EXPECT_EQ(image.data, nullptr) << c.scenario;
        EXPECT_EQ(image.length, 0u) << c.scenario;
        std::vector<std::string> tried(ALL_STEPS.begin(), ALL_STEPS.begin() + c.stepsTried);
        EXPECT_EQ(CallsMade(), tried) << c.scenario;
    }
}

TEST(LoadFirmwareImage, TheOtherImageIsUnaffectedByOnesFailure) {
    BootScenario(R"({"resources": {"131": {"missing": true}}})");
    EXPECT_FALSE(LoadFirmwareImage(SelectFirmwareImage(8).resourceId).loaded);
    for (int model : {0, 7, 9}) {
        FirmwareImage image = LoadFirmwareImage(SelectFirmwareImage(static_cast<uint8_t>(model)).resourceId);
        EXPECT_TRUE(image.loaded) << model;
        EXPECT_EQ(image.length, sim::IMAGE_121_SIZE) << model;
    }
}

TEST(LoadFirmwareImage, GivesTheResourceBytesAndSizeAsStored) {
    const struct {
        const char* scenario;
        int resourceId;
        uint32_t length;
    } cases[] = {
        {"{}", 121, sim::IMAGE_121_SIZE},
        {"{}", 131, sim::IMAGE_131_SIZE},
        {R"({"resources": {"121": {"size": 1}}})", 121, 1},
        {R"({"resources": {"131": {"size": 777}}})", 131, 777},
        {R"({"resources": {"121": {"size": 8388609}}})", 121, 8388609},
    };
    for (const auto& c : cases) {
        BootScenario(c.scenario);
        FirmwareImage image = LoadFirmwareImage(c.resourceId);
        ASSERT_TRUE(image.loaded) << c.scenario;
        EXPECT_EQ(CallsMade(), ALL_STEPS) << c.scenario;
        EXPECT_EQ(image.length, c.length) << c.scenario;
        EXPECT_EQ(FirstPatternMismatch(image.data, image.length, c.resourceId), image.length) << c.scenario;
        // The very bytes of the resource: the address the resource calls hand out.
        HGLOBAL loaded = LoadResource(nullptr, FindResourceA(nullptr, MAKEINTRESOURCEA(c.resourceId), "BINARY"));
        EXPECT_EQ(static_cast<const void*>(image.data), LockResource(loaded)) << c.scenario;
    }
}

}  // namespace
