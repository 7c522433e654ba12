// The registry lookup of the scanner's FriendlyName and the two application locks against the
// simulated registry and named mutexes, with the keys and passed-over handles counted.
#include "host/app_lock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/entry.h"
#include "tests/host/host/boot.h"

namespace {

using hosttest::Boot;
using hosttest::Calls;
using hosttest::OpenHandles;
using Sleeps = std::vector<uint32_t>;

const std::string SCAN_LOCK = "Global\\TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410";
const std::string SECOND_LOCK = "{5B2E8D41-9C3A-4e07-B6F1-3D8A0C7E2F94}";
constexpr int INSTANCE_COUNT = 10000;

// A clean slate for the process-wide state this Part works with.
void Start(const std::string& scenario, const char* devicePath = "\\\\.\\usbscan0") {
    Boot(scenario);
    std::snprintf(g_devicePath, sizeof g_devicePath, "%s", devicePath);
    std::memset(g_friendlyName, 0, sizeof g_friendlyName);
    g_scanAppLock = INVALID_HANDLE_VALUE;
    g_secondAppLock = INVALID_HANDLE_VALUE;
}

// An instance entry as a JSON member.
std::string Entry(const char* number, const char* createFileName, const char* matchingId,
                  const char* friendly = "\"Tarvo DS-410\"") {
    return std::string("\"") + number + "\": {\"CreateFileName\": " + createFileName +
           ", \"MatchingDeviceId\": " + matchingId +
           (friendly[0] ? std::string(", \"FriendlyName\": ") + friendly : "") + "}";
}

std::string Registry(const std::vector<std::string>& entries) {
    std::string json = R"({"imagingDevices": {)";
    for (size_t i = 0; i < entries.size(); ++i) json += (i ? ", " : "") + entries[i];
    return json + "}}";
}

const char* SCANNER0 = R"("\\\\.\\usbscan0")";
const char* TARGET_ID = R"("usb\\vid_2a7b&pid_41c3&rev_0100")";

const sim::MutexObject* Mutex(const std::string& name) {
    for (const sim::MutexObject& m : sim::M().mutexes.objects)
        if (m.name == name && m.createdByUpdater)
            return &m;
    return nullptr;
}

TEST(FindFriendlyName, ScannerBehindThreeOtherKeys) {
    Start(Registry({Entry("0000", R"("\\\\.\\usbscan1")", TARGET_ID, R"("Other")"),
                    Entry("0001", SCANNER0, R"("usb\\vid_2a7b&pid_0001")", R"("Wrong product")"),
                    R"("0002": {"access": "denied"})", Entry("0003", SCANNER0, TARGET_ID)}));
    EXPECT_EQ(FindFriendlyName(), 1);
    EXPECT_STREQ(g_friendlyName, "Tarvo DS-410");
    // 0000 once, 0001 twice (its device name matched), 0002 refused, 0003 three times; then no more.
    EXPECT_EQ(Calls("RegOpenKeyExA"), 7u);
    EXPECT_EQ(sim::M().registry.opens, 6u);
    EXPECT_EQ(Calls("RegCloseKey"), 6u);
    EXPECT_EQ(OpenHandles("key"), 0);
}

TEST(FindFriendlyName, WhatMatches) {
    const struct {
        const char* what;
        const char* createFileName;
        const char* matchingId;
        int result;
    } cases[] = {
        {"device name in capitals", R"("\\\\.\\USBSCAN0")", TARGET_ID, 1},
        {"ID digits in capitals", SCANNER0, R"("USB\\VID_2A7B&PID_41C3")", 1},
        {"exactly 21 characters", SCANNER0, R"("usb\\vid_2a7b&pid_41c3")", 1},
        {"20 characters", SCANNER0, R"("usb\\vid_2a7b&pid_41c")", 0},
        {"only the digits are compared", SCANNER0, R"("xyz:abc=2a7b/qrs=41c3")", 1},
        {"vendor only", SCANNER0, R"("usb\\vid_2a7b")", 0},
        {"empty identifier", SCANNER0, R"("")", 0},
        {"other vendor", SCANNER0, R"("usb\\vid_2a7c&pid_41c3")", 0},
        {"other device name", R"("\\\\.\\usbscan10")", TARGET_ID, 0},
        {"device name prefix only", R"("\\\\.\\usbscan")", TARGET_ID, 0},
        // A read offers 4 bytes once the latest read reported a type other than REG_SZ.
        {"device name stored as binary", R"({"type": "REG_BINARY", "hex": "5C5C2E5C7573627363616E3000"})", TARGET_ID,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start(Registry({Entry("0000", c.createFileName, c.matchingId)}));
        EXPECT_EQ(FindFriendlyName(), c.result);
        EXPECT_STREQ(g_friendlyName, c.result ? "Tarvo DS-410" : "");
        EXPECT_EQ(OpenHandles("key"), 0);
    }
}

TEST(FindFriendlyName, NoMatchTriesEveryIndex) {
    // The scanner's own key is there, but this user may not open it.
    Start(Registry({Entry("0005", SCANNER0, R"("usb\\vid_2a7b&pid_0000")"),
                    R"("0006": {"access": "denied", "CreateFileName": "\\\\.\\usbscan0",
                                          "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3", "FriendlyName": "Mine"})",
                    Entry("9999", R"("x")", TARGET_ID)}));
    EXPECT_EQ(FindFriendlyName(), 0);
    EXPECT_EQ(Calls("RegOpenKeyExA"), INSTANCE_COUNT + 1u);  // 0005 is opened twice
    EXPECT_EQ(OpenHandles("key"), 0);
}

TEST(FindFriendlyName, MatchingKeyWithoutReadableNameEndsTheWalk) {
    const std::string tooLong = "\"" + std::string(256, 'n') + "\"";
    const struct {
        const char* what;
        std::string scenario;
    } cases[] = {
        {"no FriendlyName", Registry({Entry("0000", SCANNER0, TARGET_ID, ""), Entry("0001", SCANNER0, TARGET_ID)})},
        {"FriendlyName of 257 bytes",
         Registry({Entry("0000", SCANNER0, TARGET_ID, tooLong.c_str()), Entry("0001", SCANNER0, TARGET_ID)})},
        {"third opening refused", Registry({Entry("0000", SCANNER0, TARGET_ID), Entry("0001", SCANNER0, TARGET_ID)})
                                      .insert(1, R"("failures": [{"call": "RegOpenKeyExA", "nth": 3}], )")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.scenario);
        EXPECT_EQ(FindFriendlyName(), 0);
        EXPECT_EQ(Calls("RegOpenKeyExA"), 3u);  // key 0001 is never looked at
        EXPECT_STREQ(g_friendlyName, "");
        EXPECT_EQ(OpenHandles("key"), 0);
    }
}

TEST(FindFriendlyName, ValueOfAWholeBufferIsCutTo255Characters) {
    const std::string hex256(512, '4');  // 256 bytes of 'D', no terminator
    Start(
        Registry({Entry("0000", SCANNER0, TARGET_ID, (R"({"type": "REG_SZ", "hex": ")" + hex256 + R"("})").c_str())}));
    EXPECT_EQ(FindFriendlyName(), 1);
    EXPECT_EQ(std::string(g_friendlyName), std::string(255, 'D'));
}

TEST(FindFriendlyName, KeysAreClosedWhenReadsFail) {
    Start(Registry({Entry("0000", SCANNER0, TARGET_ID), Entry("0001", SCANNER0, TARGET_ID)})
              .insert(1, R"("failures": [{"call": "RegQueryValueExA", "nth": 2}], )"));
    // The identifier read fails: 0000 does not match, 0001 does.
    EXPECT_EQ(FindFriendlyName(), 1);
    EXPECT_EQ(Calls("RegOpenKeyExA"), 5u);
    EXPECT_EQ(Calls("RegCloseKey"), 5u);
    EXPECT_EQ(OpenHandles("key"), 0);
}

struct LockCase {
    const char* what;
    const char* mutexes;  // the scenario's mutexes member
    const char* failures;
    int result;
    Sleeps sleeps;
};

TEST(LockScanApplication, Attempts) {
    const LockCase cases[] = {
        {"free", "[]", "[]", 1, {}},
        {"held by the application",
         R"([{"name": "Global\\TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410"}])",
         "[]",
         0,
         {1000, 1000, 1000}},
        {"may not be opened",
         R"([{"name": "Global\\TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410", "access": "denied"}])",
         "[]",
         0,
         {1000, 1000, 1000}},
        {"released before the second attempt",
         R"([{"name": "Global\\TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410", "releaseAfterMs": 1000}])",
         "[]",
         1,
         {1000}},
        {"released before the third attempt",
         R"([{"name": "Global\\TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410", "releaseAfterMs": 1500}])",
         "[]",
         1,
         {1000, 1000}},
        {"released too late",
         R"([{"name": "Global\\TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410", "releaseAfterMs": 2001}])",
         "[]",
         0,
         {1000, 1000, 1000}},
        {"another namespace does not count", R"([{"name": "TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410"}])", "[]", 1, {}},
        {"CreateMutexA fails once", "[]", R"([{"call": "CreateMutexA"}])", 1, {1000}},
    };
    for (const LockCase& c : cases) {
        SCOPED_TRACE(c.what);
        Start(std::string(R"({"mutexes": )") + c.mutexes + R"(, "failures": )" + c.failures + "}");
        std::snprintf(g_friendlyName, sizeof g_friendlyName, "Tarvo DS-410");
        EXPECT_EQ(LockScanApplication(), c.result);
        EXPECT_EQ(sim::M().sleeps, c.sleeps);
        const sim::MutexObject* own = Mutex(SCAN_LOCK);
        if (c.result) {
            ASSERT_NE(own, nullptr);
            EXPECT_TRUE(own->ownedByUpdater);
            EXPECT_TRUE(own->openToEveryone);
            EXPECT_NE(sim::FindHandle(g_scanAppLock, sim::HandleKind::Mutex), nullptr);
        } else {
            EXPECT_EQ(own, nullptr);
            EXPECT_EQ(g_scanAppLock, INVALID_HANDLE_VALUE);
        }
        // Only the held lock keeps a handle: every passed-over one was closed.
        EXPECT_EQ(OpenHandles("mutex"), c.result);
        EXPECT_EQ(g_secondAppLock, INVALID_HANDLE_VALUE);
    }
}

TEST(LockScanApplication, NameIsCutToTheBuffer) {
    Start("{}");
    std::memset(g_friendlyName, 'x', sizeof g_friendlyName - 1);
    EXPECT_EQ(LockScanApplication(), 1);
    const std::string prefix = "Global\\TARVO_SCAN_EXT_APP_MUTEX_";
    EXPECT_NE(Mutex(prefix + std::string(259 - prefix.size(), 'x')), nullptr);
}

TEST(LockSecondApplication, HeldByTheOtherApplication) {
    Start(R"({"mutexes": [{"name": "{5B2E8D41-9C3A-4e07-B6F1-3D8A0C7E2F94}"}]})");
    std::snprintf(g_friendlyName, sizeof g_friendlyName, "Tarvo DS-410");
    ASSERT_EQ(LockScanApplication(), 1);
    EXPECT_EQ(LockSecondApplication(), 0);
    EXPECT_EQ(sim::M().sleeps, (Sleeps{1000, 1000, 1000}));
    EXPECT_EQ(g_secondAppLock, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Mutex(SCAN_LOCK)->ownedByUpdater);  // until the sequence releases it
    EXPECT_EQ(OpenHandles("mutex"), 1);
    ReleaseApplicationLocks();
    EXPECT_FALSE(Mutex(SCAN_LOCK)->ownedByUpdater);
    EXPECT_EQ(OpenHandles("mutex"), 1);
}

TEST(LockSecondApplication, ANewLockReleasesTheOneInItsSlot) {
    Start("{}");
    ASSERT_EQ(LockSecondApplication(), 1);
    HANDLE first = g_secondAppLock;
    // The name exists now, held by this very process: a second taking cannot get a new mutex.
    EXPECT_EQ(LockSecondApplication(), 0);
    EXPECT_EQ(g_secondAppLock, first);
    // A different FriendlyName names a different first lock, so the slot changes hands.
    std::snprintf(g_friendlyName, sizeof g_friendlyName, "A");
    ASSERT_EQ(LockScanApplication(), 1);
    HANDLE older = g_scanAppLock;
    std::snprintf(g_friendlyName, sizeof g_friendlyName, "B");
    ASSERT_EQ(LockScanApplication(), 1);
    EXPECT_NE(g_scanAppLock, older);
    EXPECT_FALSE(Mutex("Global\\TARVO_SCAN_EXT_APP_MUTEX_A")->ownedByUpdater);
    EXPECT_NE(sim::FindHandle(older, sim::HandleKind::Mutex), nullptr);  // released, not closed
    EXPECT_TRUE(Mutex("Global\\TARVO_SCAN_EXT_APP_MUTEX_B")->ownedByUpdater);
}

TEST(ReleaseApplicationLocks, ReleasesInOrderOfTakingAndNeverCloses) {
    // The first release fails and leaves its lock owned: it shows which lock went first.
    Start(R"({"failures": [{"call": "ReleaseMutex"}]})");
    std::snprintf(g_friendlyName, sizeof g_friendlyName, "Tarvo DS-410");
    ASSERT_EQ(LockScanApplication(), 1);
    ASSERT_EQ(LockSecondApplication(), 1);
    ReleaseApplicationLocks();
    EXPECT_TRUE(Mutex(SCAN_LOCK)->ownedByUpdater);
    EXPECT_FALSE(Mutex(SECOND_LOCK)->ownedByUpdater);
    EXPECT_EQ(g_scanAppLock, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_secondAppLock, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenHandles("mutex"), 2);
    EXPECT_EQ(Calls("CloseHandle"), 0u);
}

TEST(ReleaseApplicationLocks, NothingHeldNothingDone) {
    Start("{}");
    ReleaseApplicationLocks();
    EXPECT_EQ(Calls("ReleaseMutex"), 0u);
    ASSERT_EQ(LockSecondApplication(), 1);
    ReleaseApplicationLocks();
    ReleaseApplicationLocks();
    EXPECT_EQ(Calls("ReleaseMutex"), 1u);
}

}  // namespace

namespace {

// Whether a key could not be opened for want of rights, which the update tells the user about.
TEST(FindFriendlyName, ToldWhenAKeyWasRefused) {
    const struct {
        const char* what;
        std::string registry;
        int result;
        bool denied;
    } cases[] = {
        {"no key at all", Registry({}), 0, false},
        {"every key refused", Registry({R"("0000": {"access": "denied"})", R"("0001": {"access": "denied"})"}), 0,
         true},
        {"a refused key before the scanner's",
         Registry({R"("0000": {"access": "denied"})", Entry("0001", SCANNER0, TARGET_ID)}), 1, true},
        {"the scanner's key, nothing refused", Registry({Entry("0000", SCANNER0, TARGET_ID)}), 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.registry);
        bool denied = !c.denied;
        EXPECT_EQ(FindFriendlyName(&denied), c.result);
        EXPECT_EQ(denied, c.denied);
        EXPECT_EQ(OpenHandles("key"), 0);
    }
}

}  // namespace
