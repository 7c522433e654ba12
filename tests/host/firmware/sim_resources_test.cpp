// The simulated executable resources: Windows' answers to the lookup, the failure modes of the
// scenario, the image content, and views that stay put across thousands of runs.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/scenario.h"
#include "tests/host/firmware/image_pattern.h"
#include "tests/host/firmware/lookup_cases.h"

namespace {

void BootScenario(const std::string& json) {
    sim::Boot(sim::ParseScenario(json, "test"), sim::RunOptions{});
}

// FindResourceA, LoadResource and LockResource for `id`, asserting that each succeeds.
const uint8_t* LoadView(int id, DWORD* size = nullptr) {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), "BINARY");
    EXPECT_NE(found, nullptr) << id;
    HGLOBAL loaded = LoadResource(nullptr, found);
    EXPECT_NE(loaded, nullptr) << id;
    if (size != nullptr)
        *size = SizeofResource(nullptr, found);
    return static_cast<const uint8_t*>(LockResource(loaded));
}

TEST(SimResources, LookupAnswersAsWindowsDoes) {
    // The executable of the Windows lookup test: a 4096-byte image 121 and no 131.
    BootScenario(R"({"resources": {"121": {"size": 4096}, "131": {"missing": true}}})");
    for (const LookupCase& c : LOOKUP_CASES) {
        SetLastError(ERROR_SUCCESS);
        HRSRC found = FindResourceA(nullptr, c.name, c.type);
        if (c.error == ERROR_SUCCESS) {
            EXPECT_NE(found, nullptr) << c.what;
            EXPECT_EQ(SizeofResource(nullptr, found), 4096u) << c.what;
        } else {
            EXPECT_EQ(found, nullptr) << c.what;
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
    }
}

TEST(SimResources, LookupFailuresOutsideTheTable) {
    const struct {
        const char* what;
        const char* scenario;
        HMODULE module;
        DWORD error;
    } cases[] = {
        // With neither image the executable has no BINARY type at all.
        {"no image at all", R"({"resources": {"121": {"missing": true}, "131": {"missing": true}}})", nullptr,
         ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"another module", "{}", reinterpret_cast<HMODULE>(0x10000), ERROR_RESOURCE_DATA_NOT_FOUND},
    };
    for (const auto& c : cases) {
        BootScenario(c.scenario);
        EXPECT_EQ(FindResourceA(c.module, MAKEINTRESOURCEA(121), "BINARY"), nullptr) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
}

TEST(SimResources, ImagesOfAnySizeFollowThePattern) {
    const struct {
        int id;
        uint32_t size;
    } cases[] = {{121, 0},
                 {131, 1},
                 {121, 250},
                 {131, 251},
                 {121, 252},
                 {131, 502},  // the copies of the first period double: two periods, and one byte more
                 {121, 503},
                 {131, 4096},
                 {121, sim::IMAGE_121_SIZE},
                 {131, sim::IMAGE_131_SIZE}};
    for (const auto& c : cases) {
        std::string json =
            R"({"resources": {")" + std::to_string(c.id) + R"(": {"size": )" + std::to_string(c.size) + "}}}";
        BootScenario(json);
        DWORD size = 0;
        const uint8_t* data = LoadView(c.id, &size);
        ASSERT_NE(data, nullptr) << c.id << "/" << c.size;  // an empty image is still locked
        EXPECT_EQ(size, c.size) << c.id;
        EXPECT_EQ(FirstPatternMismatch(data, size, c.id), size) << c.id << "/" << c.size;
    }
}

TEST(SimResources, LoadAndLockFailuresOfTheScenario) {
    const struct {
        const char* scenario;
        bool loads;
    } cases[] = {
        {R"({"resources": {"121": {"loadFails": true}}})", false},
        {R"({"resources": {"121": {"lockFails": true}}})", true},
    };
    for (const auto& c : cases) {
        BootScenario(c.scenario);
        HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(121), "BINARY");
        ASSERT_NE(found, nullptr) << c.scenario;
        // The resource directory still gives the size.
        EXPECT_EQ(SizeofResource(nullptr, found), sim::IMAGE_121_SIZE) << c.scenario;
        HGLOBAL loaded = LoadResource(nullptr, found);
        EXPECT_EQ(loaded != nullptr, c.loads) << c.scenario;
        if (loaded != nullptr) {
            EXPECT_EQ(LockResource(loaded), nullptr) << c.scenario;
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND)) << c.scenario;
        // The other image is untouched.
        EXPECT_NE(LoadView(131), nullptr) << c.scenario;
    }
}

TEST(SimResources, HandlesNotHandedOutAreRefused) {
    BootScenario("{}");
    int local = 0;
    HRSRC bogus = reinterpret_cast<HRSRC>(&local);
    EXPECT_EQ(LoadResource(nullptr, nullptr), nullptr);
    EXPECT_EQ(LoadResource(nullptr, bogus), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SizeofResource(nullptr, bogus), 0u);
    EXPECT_EQ(LockResource(&local), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // A resource found in one run is not found in the next if it is missing there.
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(131), "BINARY");
    ASSERT_NE(found, nullptr);
    BootScenario(R"({"resources": {"131": {"missing": true}}})");
    EXPECT_EQ(LoadResource(nullptr, found), nullptr);
    EXPECT_EQ(SizeofResource(nullptr, found), 0u);
}

TEST(SimResources, ImagesOfAnIdAreOneBlockThatGrowsAndOutgrownOnesStay) {
    BootScenario(R"({"resources": {"121": {"size": 1000}, "131": {"size": 1000}}})");
    const uint8_t* small121 = LoadView(121);
    const uint8_t* small131 = LoadView(131);
    EXPECT_NE(small121, small131);  // same size, other id: other bytes
    BootScenario("{}");
    const uint8_t* full121 = LoadView(121);
    const uint8_t* full131 = LoadView(131);
    EXPECT_NE(full121, small121) << "a larger image needs a larger block";
    // Thousands of runs make nothing new: a smaller image of an id is the start of its block.
    for (int run = 0; run < 2000; ++run) {
        BootScenario(run % 2 ? "{}" : R"({"resources": {"121": {"size": 1000}, "131": {"size": 1000}}})");
        ASSERT_EQ(LoadView(121), full121) << run;
        ASSERT_EQ(LoadView(131), full131) << run;
    }
    BootScenario("{}");
    EXPECT_EQ(FirstPatternMismatch(LoadView(121), sim::IMAGE_121_SIZE, 121), sim::IMAGE_121_SIZE);
    EXPECT_EQ(FirstPatternMismatch(LoadView(131), sim::IMAGE_131_SIZE, 131), sim::IMAGE_131_SIZE);
    // A view an earlier run was given keeps its bytes, even once its block is outgrown.
    EXPECT_EQ(FirstPatternMismatch(small131, 1000, 131), 1000u);
}

HRSRC Find121() {
    return FindResourceA(nullptr, MAKEINTRESOURCEA(121), "BINARY");
}

TEST(SimResources, InjectedFailuresReturnTheFailureValueWithTheError) {
    const struct {
        const char* call;
        bool (*fails)();
        DWORD defaultError;
    } cases[] = {
        {"FindResourceA", [] { return Find121() == nullptr; }, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"LoadResource", [] { return LoadResource(nullptr, Find121()) == nullptr; }, ERROR_RESOURCE_DATA_NOT_FOUND},
        {"LockResource", [] { return LockResource(LoadResource(nullptr, Find121())) == nullptr; },
         ERROR_RESOURCE_DATA_NOT_FOUND},
        {"SizeofResource", [] { return SizeofResource(nullptr, Find121()) == 0; }, ERROR_RESOURCE_DATA_NOT_FOUND},
    };
    for (const auto& c : cases) {
        BootScenario("{}");
        EXPECT_FALSE(c.fails()) << c.call;
        const std::string failure = std::string(R"({"failures": [{"call": ")") + c.call + "\"";
        BootScenario(failure + "}]}");
        EXPECT_TRUE(c.fails()) << c.call;
        EXPECT_EQ(GetLastError(), c.defaultError) << c.call;
        BootScenario(failure + R"(, "error": 1234}]})");
        EXPECT_TRUE(c.fails()) << c.call;
        EXPECT_EQ(GetLastError(), 1234u) << c.call;
    }
}

}  // namespace
