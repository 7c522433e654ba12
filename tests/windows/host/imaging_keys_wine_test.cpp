// FindFriendlyName against instance keys put into the test prefix's registry under the imaging
// device class key, and the time of the full walk when nothing matches. The keys are removed
// again after each test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/entry.h"
#include "host/app_lock.h"

namespace {

constexpr const char* CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
// Marks the keys the tests made, so that nothing else is ever removed.
constexpr const char* MARKER = "scanfw test key";

struct Instance {
    const char* number;
    const char* createFileName;
    const char* matchingDeviceId;
    const char* friendlyName;
};

// The scanner at usbscan3 is 0003; the three before it each fail a different check.
const Instance INSTANCES[] = {
    {"0000", "\\\\.\\Usbscan0", "usb\\vid_04b8&pid_0101&rev_0100", "Another maker's scanner"},
    {"0001", "\\\\.\\Usbscan3", "usb\\vid_2a7b&pid_0001&rev_0100", "Same device name, other product"},
    {"0002", "\\\\.\\Usbscan1", "usb\\vid_2a7b&pid_41c3&rev_0100", "Same product, other device"},
    {"0003", "\\\\.\\Usbscan3", "USB\\VID_2A7B&PID_41C3&REV_0100", "Tarvo DS-410"},
};

std::string KeyName(const char* number) {
    return std::string(CLASS_KEY) + "\\" + number;
}

bool SetText(HKEY key, const char* name, const char* value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(std::strlen(value) + 1)) == ERROR_SUCCESS;
}

class ImagingDeviceKeys : public testing::Test {
protected:
    void SetUp() override {
        for (const Instance& i : INSTANCES) {
            HKEY key = nullptr;
            DWORD disposition = 0;
            ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyName(i.number).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &key, &disposition),
                      ERROR_SUCCESS);
            const bool ours = disposition == REG_CREATED_NEW_KEY ||
                              RegQueryValueExA(key, MARKER, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
            if (ours)
                made_.push_back(i.number);
            const bool written = ours && SetText(key, MARKER, "") && SetText(key, "CreateFileName", i.createFileName) &&
                                 SetText(key, "MatchingDeviceId", i.matchingDeviceId) &&
                                 SetText(key, "FriendlyName", i.friendlyName);
            RegCloseKey(key);
            ASSERT_TRUE(ours) << "instance key " << i.number << " exists and is not the tests' own";
            ASSERT_TRUE(written);
        }
        std::memset(g_friendlyName, 0, sizeof g_friendlyName);
    }
    void TearDown() override {
        for (const std::string& number : made_)
            EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, KeyName(number.c_str()).c_str()), ERROR_SUCCESS);
    }

    static DWORD TimedWalk(int& result) {
        const DWORD start = GetTickCount();
        result = FindFriendlyName();
        return GetTickCount() - start;
    }

private:
    std::vector<std::string> made_;
};

TEST_F(ImagingDeviceKeys, ScannerAtKey0003BehindThreeOthers) {
    std::snprintf(g_devicePath, sizeof g_devicePath, "\\\\.\\usbscan3");
    int result = 0;
    const DWORD ms = TimedWalk(result);
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(g_friendlyName, "Tarvo DS-410");
    std::printf("match at 0003 found in %lu ms\n", ms);
}

TEST_F(ImagingDeviceKeys, NoMatchWalksAllTenThousandKeys) {
    std::snprintf(g_devicePath, sizeof g_devicePath, "\\\\.\\usbscan7");
    int result = 1;
    const DWORD ms = TimedWalk(result);
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(g_friendlyName, "");
    std::printf("full walk of 10000 instance keys: %lu ms\n", ms);
    RecordProperty("full_walk_ms", static_cast<int>(ms));
}

}  // namespace
