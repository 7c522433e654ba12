// Input that a user or a broken device can produce: odd command lines, registry values of the
// wrong type, without terminator or of the buffer's exact size, long FriendlyNames, progress above
// 100 percent and replies with every byte the updater does not interpret set. Each must lead to the
// documented outcome, with every promise kept.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/message_texts.h"
#include "app/messages.h"
#include "host/app_lock.h"
#include "sim/builtin_scenarios.h"
#include "sim/tool/runner.h"
#include "sweep_oracle.h"
#include "text/hex.h"

namespace {

constexpr size_t LONG_ARGUMENT_BYTES = 100000;
constexpr int MANY_ARGUMENTS = 1000;
constexpr size_t REGISTRY_BUFFER_BYTES = 256;
constexpr size_t LOCK_NAME_CAPACITY = 259;  // the 260-byte lock name buffer less its terminator
const std::string FIRST_LOCK_PREFIX = "Global\\TARVO_SCAN_EXT_APP_MUTEX_";
const std::string DEVICE_PATH = "\\\\.\\usbscan0";
const std::string TARGET_ID = "usb\\vid_2a7b&pid_41c3";
const std::string FRIENDLY_NAME = "Tarvo DS-410";

sim::RunOptions Options() {
    sim::RunOptions o;
    o.hashImages = false;
    return o;
}

sim::RunResult RunJson(const std::string& json, const std::vector<std::string>* args = nullptr) {
    return sim::RunUpdater(sim::ParseScenario(json, "bad-input"), Options(), true, args);
}

std::string Msg(MessageId id) {
    return std::string(MessageText(id, LANGUAGE_ENGLISH)) + "\n";
}

std::string Hex(const std::string& bytes) {
    return HexBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// A registry value of `type` holding exactly `bytes`.
std::string Typed(const char* type, const std::string& bytes) {
    return std::string(R"({"type": ")") + type + R"(", "hex": ")" + Hex(bytes) + "\"}";
}
std::string Sz(const std::string& text) {
    return Typed("REG_SZ", text + '\0');
}

// An idle scanner at usbscan0 and its instance key 0000 with these three values.
std::string ScannerWithEntry(const std::string& createFileName, const std::string& matchingDeviceId,
                             const std::string& friendlyName) {
    return R"({"devices": [{"index": 0}], "imagingDevices": {"0000": {"CreateFileName": )" + createFileName +
           R"(, "MatchingDeviceId": )" + matchingDeviceId + R"(, "FriendlyName": )" + friendlyName + "}}}";
}

void ExpectPromisesKept(const sim::RunResult& run) {
    for (const std::string& p : sweep::CheckPromises(run, {}, std::nullopt)) ADD_FAILURE() << p;
}

// The command line changes nothing: whatever it holds, the run is the one without arguments,
// preceded by the warning when a "b" option stands last.
TEST(BadInput, CommandLinesChangeNothing) {
    const std::string update = sim::FindBuiltinScenario("update")->json;
    const std::vector<std::string> none;
    const sim::RunResult plain = RunJson(update, &none);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool warning;
    };
    const std::vector<Case> cases = {
        {"an empty argument", {""}, false},
        {"empty arguments around a b option's value", {"", "-b", "", ""}, false},
        {"an empty argument before a final b", {"", "-b"}, true},
        {"one-character arguments", {"-", "b", "a"}, false},
        {"a very long argument", {std::string(LONG_ARGUMENT_BYTES, 'x')}, false},
        {"a very long b option, last", {"-b" + std::string(LONG_ARGUMENT_BYTES, 'y')}, true},
        {"a very long value of b", {"-b", std::string(LONG_ARGUMENT_BYTES, 'z')}, false},
        {"bytes above 0x7F", {"\xff\xfe\xfd", "-\xe9", "\x80\x81"}, false},
        // The option letter is a byte: a Big5 character whose second byte is 'b' is option b.
        {"a Big5 character ending in the byte b, last", {"\xa5\x62"}, true},
        {"a high byte before b, with a value", {std::string("\x80") + 'b', "\xff"}, false},
        {"a thousand arguments", std::vector<std::string>(MANY_ARGUMENTS, "-a"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::RunResult run = RunJson(update, &c.args);
        EXPECT_EQ(run.output, (c.warning ? Msg(MSG_NO_FOLLOWING_ARGUMENT) : "") + plain.output);
        nlohmann::json expected = plain.report;
        if (c.warning)
            expected["messages"].insert(expected["messages"].begin(), MSG_NO_FOLLOWING_ARGUMENT);
        EXPECT_EQ(run.report, expected);
    }
}

// The registry entry of the scanner as a user's system may hold it. A value is read into a
// 256-byte buffer while the type variable says REG_SZ, and with 4 bytes offered once a read of the
// same key has reported another type; a value that fills the buffer is cut to 255 characters.
TEST(BadInput, RegistryValuesOfOddTypesAndSizes) {
    const std::string path = Sz(DEVICE_PATH), id = Sz(TARGET_ID + "&rev_0100"), name = Sz(FRIENDLY_NAME);
    const std::string name255(REGISTRY_BUFFER_BYTES - 1, 'n');
    struct Case {
        const char* name;
        std::string json;
        MessageId final;
        std::string friendlyName;  // as the updater holds it, when it found the entry
    };
    const std::vector<Case> cases = {
        {"CreateFileName stored as a number", ScannerWithEntry(Typed("REG_DWORD", "\\\\.\\"), id, name),
         MSG_SCANNER_NOT_REGISTERED, ""},
        {"CreateFileName as binary: the identifier is then offered 4 bytes and cannot be read",
         ScannerWithEntry(Typed("REG_BINARY", DEVICE_PATH), id, name), MSG_SCANNER_NOT_REGISTERED, ""},
        {"CreateFileName without terminator", ScannerWithEntry(Typed("REG_SZ", DEVICE_PATH), id, name), MSG_BURN_DONE,
         FRIENDLY_NAME},
        {"CreateFileName padded with zeros to exactly 256 bytes",
         ScannerWithEntry(Typed("REG_SZ", DEVICE_PATH + std::string(REGISTRY_BUFFER_BYTES - DEVICE_PATH.size(), '\0')),
                          id, name),
         MSG_BURN_DONE, FRIENDLY_NAME},
        {"MatchingDeviceId of exactly 256 bytes without terminator",
         ScannerWithEntry(path, Typed("REG_SZ", TARGET_ID + std::string(REGISTRY_BUFFER_BYTES - TARGET_ID.size(), 'x')),
                          name),
         MSG_BURN_DONE, FRIENDLY_NAME},
        {"MatchingDeviceId stored as a number", ScannerWithEntry(path, Typed("REG_DWORD", "usb\\"), name),
         MSG_SCANNER_NOT_REGISTERED, ""},
        {"MatchingDeviceId without terminator", ScannerWithEntry(path, Typed("REG_SZ", TARGET_ID), name), MSG_BURN_DONE,
         FRIENDLY_NAME},
        {"MatchingDeviceId as binary: a FriendlyName longer than 4 bytes cannot be read",
         ScannerWithEntry(path, Typed("REG_BINARY", TARGET_ID + '\0'), name), MSG_SCANNER_NOT_REGISTERED, ""},
        {"MatchingDeviceId as binary: a FriendlyName of 4 bytes is read",
         ScannerWithEntry(path, Typed("REG_BINARY", TARGET_ID + '\0'), Sz("abc")), MSG_BURN_DONE, "abc"},
        {"FriendlyName as binary without terminator", ScannerWithEntry(path, id, Typed("REG_BINARY", "Tarvo")),
         MSG_BURN_DONE, "Tarvo"},
        {"FriendlyName stored as a number", ScannerWithEntry(path, id, Typed("REG_DWORD", "ABCD")), MSG_BURN_DONE,
         "ABCD"},
        {"FriendlyName of 255 characters", ScannerWithEntry(path, id, Sz(name255)), MSG_BURN_DONE, name255},
        {"FriendlyName of exactly 256 bytes without terminator: cut to 255",
         ScannerWithEntry(path, id, Typed("REG_SZ", name255 + "N")), MSG_BURN_DONE, name255},
        {"FriendlyName of 257 bytes", ScannerWithEntry(path, id, Typed("REG_SZ", name255 + "NN")),
         MSG_SCANNER_NOT_REGISTERED, ""},
        {"an empty FriendlyName", ScannerWithEntry(path, id, Sz("")), MSG_BURN_DONE, ""},
        {"a FriendlyName in Big5",
         ScannerWithEntry(path, id, Typed("REG_SZ", std::string("\xb1\xbd\xb4\x79\xbe\xb9") + '\0')), MSG_BURN_DONE,
         "\xb1\xbd\xb4\x79\xbe\xb9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::RunResult run = RunJson(c.json);
        ExpectPromisesKept(run);
        EXPECT_EQ(sweep::FinalMessage(run.output, LANGUAGE_ENGLISH), c.final);
        if (c.final != MSG_BURN_DONE) {
            EXPECT_TRUE(run.report["mutexes"].empty()) << "a lock was tried without the scanner's entry";
            continue;
        }
        EXPECT_EQ(std::string(g_friendlyName), c.friendlyName);
        // The lock's name is cut to its buffer, never written past it.
        const std::string lock = (FIRST_LOCK_PREFIX + c.friendlyName).substr(0, LOCK_NAME_CAPACITY);
        ASSERT_TRUE(run.report["mutexes"].contains(lock)) << run.report["mutexes"].dump();
        EXPECT_EQ(run.report["mutexes"][lock]["created"], true);
    }
}

// A FriendlyName holding a backslash names an object directory that does not exist: the lock
// cannot be created, and the update ends as when the application holds it.
TEST(BadInput, FriendlyNameWithABackslashCannotNameALock) {
    const sim::RunResult run = RunJson(ScannerWithEntry(Sz(DEVICE_PATH), Sz(TARGET_ID), Sz("Tarvo\\DS-410")));
    ExpectPromisesKept(run);
    EXPECT_EQ(sweep::FinalMessage(run.output, LANGUAGE_ENGLISH), MSG_SCAN_APP_BUSY);
    const std::string lock = FIRST_LOCK_PREFIX + "Tarvo\\DS-410";
    ASSERT_TRUE(run.report["mutexes"].contains(lock));
    EXPECT_EQ(run.report["mutexes"][lock]["created"], false);
}

// A device that answers the descriptor request with fewer than its 8 bytes. The record is cleared
// before each request, so what did not arrive reads as zero, never as what the device before it
// answered: usbscan0 leaves the scanner's product ID behind, and a record not cleared would make
// a usbscan1 that answers only with the vendor ID look like the scanner.
TEST(BadInput, ShortDescriptorAnswers) {
    constexpr int DESCRIPTOR_BYTES = 8;
    constexpr int ID_BYTES = 4;  // vendor and product ID
    for (int length = 0; length <= DESCRIPTOR_BYTES; ++length) {
        SCOPED_TRACE(length);
        const std::string json = R"({"devices": [{"index": 0, "descriptor": {"vid": "0x1111", "pid": "0x41C3"}},
            {"index": 1, "descriptor": {"length": )" +
                                 std::to_string(length) + R"(}}],
            "imagingDevices": {"0000": {"CreateFileName": "\\\\.\\usbscan1",
                                        "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3", "FriendlyName": "S"}}})";
        const sim::RunResult run = RunJson(json);
        ExpectPromisesKept(run);
        EXPECT_EQ(run.report["opened"], nlohmann::json({0, 1}));
        if (length >= ID_BYTES) {
            EXPECT_EQ(run.report["device"]["index"], 1);
            EXPECT_EQ(sweep::FinalMessage(run.output, LANGUAGE_ENGLISH), MSG_BURN_DONE);
        } else {
            EXPECT_EQ(run.output, Msg(MSG_DEVICE_NOT_FOUND));
            EXPECT_EQ(run.report["openHandles"]["device"], 0);
        }
    }
}

// The percentage is shown as the scanner sends it, also above 100, on a line of the usual shape.
TEST(BadInput, ProgressAbove100Percent) {
    for (int percent : {100, 101, 199, 255}) {
        SCOPED_TRACE(percent);
        const std::string json =
            R"({"devices": [{"index": 0, "scanner": {"progress": [{"state": 7, "percent": )" + std::to_string(percent) +
            R"(}, {"state": 0}]}}], "imagingDevices": {"0000": {"CreateFileName": "\\\\.\\usbscan0",
                "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3", "FriendlyName": "S"}}})";
        const sim::RunResult run = RunJson(json);
        ExpectPromisesKept(run);
        char line[64];
        std::snprintf(line, sizeof line, "\r%s... (%d%%)      ", ProgressTitle(LANGUAGE_ENGLISH), percent);
        EXPECT_NE(run.output.find(std::string(line) + "\r" + CompletionTitle(LANGUAGE_ENGLISH) + "... (100%)"),
                  std::string::npos)
            << run.output;
        EXPECT_EQ(sweep::FinalMessage(run.output, LANGUAGE_ENGLISH), MSG_BURN_DONE);
    }
}

// Offsets of the reply bytes that the updater does not interpret.
const std::vector<size_t> kUninterpreted = [] {
    std::vector<size_t> offsets;
    for (size_t i = 0; i < sim::REPLY_BYTES; ++i)
        if (!(i < 6 || i == 10 || i == 14))
            offsets.push_back(i);
    return offsets;
}();

void SetEveryUninterpretedByte(std::vector<sim::ReplyBytes>& replies) {
    for (sim::ReplyBytes& r : replies)
        for (size_t i : kUninterpreted) r[i] = 0xFF;
}

void SetEveryByte(std::vector<sim::ReplyBytes>& replies) {
    for (sim::ReplyBytes& r : replies) r.fill(0xFF);
}

// A scanner that fills the bytes the updater does not interpret changes nothing; one that fills
// every byte reports what those bytes say: busy for ever, a result other than a refusal, or an
// unknown state while burning.
TEST(BadInput, RepliesWithEveryUninterpretedByteSet) {
    using Change = std::function<void(sim::ScannerSpec&)>;
    struct Case {
        const char* name;
        const char* scenario;
        Change change;
        std::optional<MessageId> final;  // none: the same run as without the change
    };
    const std::vector<Case> cases = {
        {"ready replies", "busy-then-ready", [](sim::ScannerSpec& s) { SetEveryUninterpretedByte(s.ready); }, {}},
        {"the ready reply of model 8", "model-8", [](sim::ScannerSpec& s) { SetEveryUninterpretedByte(s.ready); }, {}},
        {"the ready reply of state 6",
         "ready-state-6",
         [](sim::ScannerSpec& s) { SetEveryUninterpretedByte(s.ready); },
         {}},
        {"the download reply", "update", [](sim::ScannerSpec& s) { SetEveryUninterpretedByte(s.download); }, {}},
        {"the refused download reply",
         "command-refused",
         [](sim::ScannerSpec& s) { SetEveryUninterpretedByte(s.download); },
         {}},
        {"progress replies", "update", [](sim::ScannerSpec& s) { SetEveryUninterpretedByte(s.progress); }, {}},
        {"progress replies ending in an error",
         "burn-error",
         [](sim::ScannerSpec& s) { SetEveryUninterpretedByte(s.progress); },
         {}},
        {"every byte of the ready reply: state 0xFFFF is busy", "update",
         [](sim::ScannerSpec& s) { SetEveryByte(s.ready); }, MSG_NOT_RESPONDED},
        {"every byte of the download reply: result 0xFFFFFFFF is no refusal", "update",
         [](sim::ScannerSpec& s) { SetEveryByte(s.download); }, MSG_BURN_DONE},
        {"every byte of the progress reply: state 0xFFFF is an error", "update",
         [](sim::ScannerSpec& s) { SetEveryByte(s.progress); }, MSG_BURN_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::Scenario clean = sim::ParseScenario(sim::FindBuiltinScenario(c.scenario)->json, c.scenario);
        sim::Scenario changed = clean;
        c.change(changed.devices.back().scanner);
        const sim::RunResult want = sim::RunUpdater(clean, Options(), true);
        const sim::RunResult got = sim::RunUpdater(changed, Options(), true);
        ExpectPromisesKept(got);
        if (!c.final.has_value()) {
            EXPECT_EQ(got.output, want.output);
            EXPECT_EQ(got.report, want.report);
        } else {
            EXPECT_EQ(sweep::FinalMessage(got.output, LANGUAGE_ENGLISH), c.final);
        }
    }
}

}  // namespace
