// Program entry: language choice, command line and the scanner search, run through the real
// entry point against simulated devices.
#include "app/entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/messages.h"
#include "sim/tool/runner.h"

namespace {

const std::string kNotFound = "Device not found!!\nEnd program...\n\n";
const std::string kFound = "Device found!!\n\n";
const std::string kDescriptorError = "Get device descriptor error!!\n\n";
const std::string kNoValue = "Warning - no following argument!!\n\n";
// The catalogue's own Big5 texts are checked against iconv in the catalogue test.
const std::string kNoValueZh = std::string(MessageText(MSG_NO_FOLLOWING_ARGUMENT, LANGUAGE_CHINESE)) + "\n";
const std::string kNotFoundZh = std::string(MessageText(MSG_DEVICE_NOT_FOUND, LANGUAGE_CHINESE)) + "\n";

sim::RunResult RunScenario(const std::string& scenarioJson, const std::vector<std::string>* args = nullptr) {
    sim::Scenario s = sim::ParseScenario(scenarioJson, "test");
    return sim::RunUpdater(s, sim::RunOptions{}, true, args);
}

struct CommandLineCase {
    std::vector<std::string> args;
    std::string expected;
};

TEST(CommandLine, OnlyAMissingValueOfBSpeaks) {
    const CommandLineCase cases[] = {
        {{}, kNotFound},
        {{"-b", "5"}, kNotFound},
        {{"-b", "-a"}, kNotFound},  // -a is b's value, not option a
        {{"-b"}, kNoValue + kNotFound},
        {{"-a", "-b"}, kNoValue + kNotFound},
        {{"/b"}, kNoValue + kNotFound},  // the first character is not looked at
        {{"xb"}, kNoValue + kNotFound},
        {{"-bx"}, kNoValue + kNotFound},  // nor anything after the second
        {{"-b", "-b"}, kNotFound},        // the second is consumed as the value
        {{"-b", "-b", "-b"}, kNoValue + kNotFound},
        {{"x", "-", ""}, kNotFound},  // fewer than two characters: no option letter
        {{"-B"}, kNotFound},          // letters are case-sensitive
        {{"-z", "--help"}, kNotFound},
        {{"-a", "-a", "-a"}, kNotFound},
    };
    for (const CommandLineCase& c : cases) {
        sim::RunResult r = RunScenario("{}", &c.args);
        std::string joined;
        for (const std::string& a : c.args) joined += "[" + a + "]";
        EXPECT_EQ(r.output, c.expected) << "args " << joined;
        EXPECT_EQ(r.exitCode, 0);
    }
}

TEST(CommandLine, ScenarioArgsAreUsedWhenNoneAreGiven) {
    EXPECT_EQ(RunScenario(R"({"args": ["-b"]})").output, kNoValue + kNotFound);
}

TEST(Language, OnlyChineseTaiwanChoosesChinese) {
    const struct {
        const char* langId;
        std::string expected;
    } cases[] = {
        {"0x0404", kNoValueZh + kNotFoundZh}, {"0x0804", kNoValue + kNotFound}, {"0x0C04", kNoValue + kNotFound},
        {"0x0409", kNoValue + kNotFound},     {"0x1404", kNoValue + kNotFound}, {"0x0000", kNoValue + kNotFound},
    };
    for (const auto& c : cases) {
        std::string json = std::string(R"({"args": ["-b"], "userLangId": ")") + c.langId + "\"}";
        EXPECT_EQ(RunScenario(json).output, c.expected) << c.langId;
    }
}

struct SearchCase {
    const char* name;
    const char* devices;  // the scenario's devices member
    std::string outputBeforeUpdate;
    std::vector<int> opened;
    bool found;
};

TEST(ScannerSearch, FirstTargetWinsAndEveryOtherDeviceIsClosed) {
    const SearchCase cases[] = {
        {"none at all", "[]", kNotFound, {}, false},
        {"target at 0", R"([{"index": 0}])", kFound, {0}, true},
        {"target at 255", R"([{"index": 255}])", kFound, {255}, true},
        {"two targets: the lower one only", R"([{"index": 9}, {"index": 4}])", kFound, {4}, true},
        {"another maker ahead",
         R"([{"index": 0, "descriptor": {"vid": "0x04B8", "pid": "0x0101"}}, {"index": 1}])",
         kFound,
         {0, 1},
         true},
        {"same vendor, other product",
         R"([{"index": 0, "descriptor": {"pid": "0x41C4"}}, {"index": 2}])",
         kFound,
         {0, 2},
         true},
        {"same product id, other vendor", R"([{"index": 0, "descriptor": {"vid": "0x2A7C"}}])", kNotFound, {0}, false},
        {"descriptor fails, search goes on",
         R"([{"index": 3, "descriptor": "fail"}, {"index": 7}])",
         kDescriptorError + kFound,
         {3, 7},
         true},
        {"every descriptor fails",
         R"([{"index": 0, "descriptor": "fail"}, {"index": 1, "descriptor": "fail"}])",
         kDescriptorError + kDescriptorError + kNotFound,
         {0, 1},
         false},
        {"devices that do not open are passed over silently",
         R"([{"index": 0, "open": "denied"}, {"index": 1, "open": "busy"}, {"index": 2}])",
         kFound,
         {2},
         true},
        {"a target that cannot be opened is not found", R"([{"index": 5, "open": "busy"}])", kNotFound, {}, false},
    };
    for (const SearchCase& c : cases) {
        sim::RunResult r = RunScenario(std::string(R"({"devices": )") + c.devices + "}");
        ASSERT_GE(r.output.size(), c.outputBeforeUpdate.size()) << c.name << ": " << r.output;
        EXPECT_EQ(r.output.substr(0, c.outputBeforeUpdate.size()), c.outputBeforeUpdate) << c.name;
        if (!c.found) {
            EXPECT_EQ(r.output, c.outputBeforeUpdate) << c.name;
        }
        EXPECT_EQ(r.report["opened"].get<std::vector<int>>(), c.opened) << c.name;
        // Only the matched scanner stays open; it is never closed by the updater.
        EXPECT_EQ(r.report["openHandles"]["device"].get<int>(), c.found ? 1 : 0) << c.name;
        EXPECT_EQ(r.exitCode, 0) << c.name;
    }
}

TEST(ScannerSearch, TheMatchedNameIsKeptForTheRegistryLookup) {
    RunScenario(R"({"devices": [{"index": 0, "descriptor": "fail"}, {"index": 255}]})");
    EXPECT_STREQ(g_devicePath, "\\\\.\\usbscan255");
    RunScenario("{}");
    EXPECT_STREQ(g_devicePath, "") << "a run that finds nothing leaves the name empty";
}

TEST(ScannerSearch, TriesEveryNumberOnceInOrderWithTheExactOpenArguments) {
    sim::Scenario s = sim::ParseScenario("{}", "test");
    sim::RunOptions options;
    options.journal = true;
    sim::RunResult r = sim::RunUpdater(s, options, true);
    int creates = 0;
    for (const sim::JournalEntry& e : r.journal) creates += e.call == "CreateFileA";
    EXPECT_EQ(creates, LAST_DEVICE_NUMBER - FIRST_DEVICE_NUMBER + 1);
}

TEST(ScannerSearch, AFailedCloseOfAPassedOverDeviceDoesNotStopTheSearch) {
    sim::RunResult r = RunScenario(R"({"devices": [{"index": 0, "descriptor": {"pid": 1}}, {"index": 1}],
                               "failures": [{"call": "CloseHandle", "nth": 1}]})");
    EXPECT_EQ(r.output.substr(0, kFound.size()), kFound);
    EXPECT_EQ(r.report["opened"].get<std::vector<int>>(), (std::vector<int>{0, 1}));
}

// Before anything else, with or without a scanner: DLLs come from the system folder only.
TEST(RunStart, DllSearchIsRestrictedFirstAndOnce) {
    for (const char* scenario : {"{}", R"({"devices": [{"index": 0}]})"}) {
        sim::RunOptions options;
        options.journal = true;
        const sim::RunResult r = sim::RunUpdater(sim::ParseScenario(scenario, "test"), options, true);
        ASSERT_FALSE(r.journal.empty());
        EXPECT_EQ(r.journal.front().call, "SetDefaultDllDirectories") << scenario;
        size_t calls = 0;
        for (const sim::JournalEntry& e : r.journal) calls += e.call == "SetDefaultDllDirectories";
        EXPECT_EQ(calls, 1u) << scenario;
        EXPECT_EQ(sim::M().dllSearchFlags, LOAD_LIBRARY_SEARCH_SYSTEM32) << scenario;
    }
}

}  // namespace

// Only a window of its own, with the console as input and output, waits for a key at the end: in
// a command prompt, a script or a pipe nothing changes. Without a scanner the power stays alone.
TEST(RunEnd, KeyWaitOnlyInAWindowOfItsOwn) {
    const std::string kPrompt = std::string(MessageText(MSG_PRESS_ANY_KEY, LANGUAGE_ENGLISH)) + "\n";
    const std::string kScanner =
        R"("devices": [{"index": 0, "scanner": {"ready": {"state": 6}, "progress": {"state": 0}}}])";
    struct Case {
        const char* name;
        std::string scenario;
        bool keyWait;
        bool scanner;
    } cases[] = {
        {"command prompt, no scanner", "{}", false, false},
        {"own window, no scanner", R"({"console": {"processes": 1}})", true, false},
        {"own window, redirected", R"({"console": {"processes": 1, "redirected": true}})", false, false},
        {"three processes share the console", R"({"console": {"processes": 3}})", false, false},
        {"own window, a whole update", R"({"console": {"processes": 1}, )" + kScanner + "}", true, true},
        {"script, a whole update", R"({"console": {"redirected": true}, )" + kScanner + "}", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::RunResult r = RunScenario(c.scenario);
        const std::string& out = r.output;
        const bool endsWithPrompt =
            out.size() >= kPrompt.size() && out.compare(out.size() - kPrompt.size(), kPrompt.size(), kPrompt) == 0;
        EXPECT_EQ(endsWithPrompt, c.keyWait);
        EXPECT_EQ(r.report["keyWaits"], c.keyWait ? 1 : 0);
        EXPECT_EQ(r.report["power"],
                  c.scanner ? nlohmann::json({"0x80000001", "0x80000000"}) : nlohmann::json::array());
        EXPECT_EQ(r.exitCode, 0);
    }
}
