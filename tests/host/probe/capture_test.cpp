// The probe against the simulated host: what it captures of every built-in scenario and of the
// repository's scenario files, replayed, makes the updater print and do exactly what it does on
// the original; the probe changes nothing and writes nothing to a device unless asked; any call
// of its failing still gives a scenario file that scanfw-sim takes, with every handle closed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "complete_capture.h"
#include "probe/json_value.h"
#include "probe/probe_main.h"
#include "sim/builtin_scenarios.h"
#include "sim/runner.h"

namespace {

using nlohmann::json;

const char* const PROBE = "scanfw-probe.exe";
const char* const EXE_PATH = "C:\\Support\\scanfw.exe";
const std::string READY_QUERY = "20020000120002000000000000000000";

struct Source {
    std::string name;
    std::string text;
};

std::vector<Source> Sources() {
    std::vector<Source> sources;
    for (const sim::BuiltinScenario& b : sim::BuiltinScenarios()) sources.push_back({b.name, b.json});
    std::stringstream folders(SCENARIO_FOLDERS);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            const std::string path = entry.path().string();
            if (entry.path().extension() != ".json" || path.find(".expect.") != std::string::npos)
                continue;
            std::ifstream in(path);
            std::stringstream text;
            text << in.rdbuf();
            sources.push_back({entry.path().filename().string(), text.str()});
        }
    }
    return sources;
}

sim::RunOptions Virtual() {
    sim::RunOptions options;
    options.realClock = false;
    return options;
}

// The PC as the probe meets it: no call fails and nobody presses a key; the rest is the same.
json AsProbeMeetsIt(json original) {
    original.erase("failures");
    original.erase("console");
    return original;
}

sim::RunResult Probe(const json& pc, std::vector<std::string> args, const sim::RunOptions& options = Virtual()) {
    const sim::Scenario scenario = sim::ParseScenario(pc.dump(), "pc");
    return sim::RunProgram(ProbeMain, PROBE, scenario, options, true, args);
}

sim::RunResult Update(const json& scenario, const std::string& source) {
    return sim::RunUpdater(sim::ParseScenario(scenario.dump(), source), Virtual(), true);
}

// What the probe leaves of the PC it ran on: nothing changed, nothing open, no lock taken.
void ExpectUntouched(const sim::RunResult& run, bool askedScanner, const std::string& name) {
    const json& report = run.report;
    for (const auto& [kind, count] : report["openHandles"].items())
        EXPECT_EQ(count, 0) << name << ": a " << kind << " handle left open";
    EXPECT_EQ(report["service"]["stopRequests"], 0) << name;
    EXPECT_EQ(report["service"]["startRequests"], 0) << name;
    EXPECT_EQ(report["service"]["configChanges"], json::array()) << name;
    EXPECT_EQ(report["mutexes"], json::object()) << name << ": the probe must never create a lock";
    json commands = json::array();
    if (report["device"].is_object())
        commands = report["device"]["commands"];
    // The report's device is the first target scanner, the one a query would go to.
    if (askedScanner && report["device"].is_object()) {
        EXPECT_EQ(commands, json::array({READY_QUERY})) << name;
    } else {
        EXPECT_EQ(commands, json::array()) << name << ": nothing may be sent unasked";
    }
    if (report["device"].is_object()) {
        EXPECT_EQ(report["device"]["images"], json::array()) << name;
    }
}

TEST(ProbeCapture, EveryScenarioReplaysAsTheOriginal) {
    size_t replayed = 0;
    for (const Source& source : Sources()) {
        const json original = json::parse(source.text);
        // Both ways: unasked, every scanner reply is the original's; asked, the first is captured.
        for (bool ask : {false, true}) {
            SCOPED_TRACE(source.name + (ask ? " --ask-scanner" : ""));
            std::vector<std::string> args = {"--exe", EXE_PATH};
            if (ask)
                args.push_back("--ask-scanner");
            const json pc = AsProbeMeetsIt(original);
            const sim::RunResult probed = Probe(pc, args);
            ASSERT_EQ(probed.exitCode, 0);
            ExpectUntouched(probed, ask, source.name);
            const json capture = json::parse(probed.output);

            const json replay = CompleteCapture(capture, original);
            const sim::RunResult expected = Update(original, source.name);
            const sim::RunResult got = Update(replay, source.name + " (captured)");
            EXPECT_EQ(got.output, expected.output) << replay.dump(1);
            EXPECT_EQ(got.report, expected.report) << replay.dump(1);
            ++replayed;
        }
    }
    EXPECT_GE(replayed, 2 * sim::BuiltinScenarios().size());
}

// The scanner's first reply, captured with --ask-scanner, is exactly what the device answered.
TEST(ProbeCapture, AskedScannerReplyIsKeptByteForByte) {
    const std::string raw = "00000000000000000000000000000000000000000000000000000000000000ff";
    const json pc = json::parse(R"({"devices": [{"index": 3, "scanner": {"ready": [{"raw": ")" + raw +
                                R"(", "state": 6, "model": 8}]}}]})");
    const json capture = json::parse(Probe(pc, {"--ask-scanner"}).output);
    ASSERT_EQ(capture["devices"].size(), 1u);
    EXPECT_EQ(capture["devices"][0]["scanner"]["ready"],
              json::array({{{"raw", "00000000060000000000000000000800000000000000000000000000000000ff"}}}));
}

// A PC's registry as only a capture holds it: values that are not plain text come back as the
// bytes stored, keys the updater cannot open as denied, names of other forms not at all.
TEST(ProbeCapture, RegistryValuesComeBackAsStored) {
    const json pc = json::parse(R"({
        "devices": [{"index": 0}],
        "imagingDevices": {
          "0001": {"CreateFileName": {"type": "REG_SZ", "hex": "5c5c2e5c7573627363616e30"},
                   "FriendlyName": {"type": "REG_SZ", "hex": "a5784a57"}},
          "0002": {"access": "denied"},
          "0003": {"CreateFileName": "\\\\.\\usbscan0", "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3",
                   "FriendlyName": {"type": "REG_EXPAND_SZ", "hex": "4100"}, "Other": "not read"}}})");
    const json capture = json::parse(Probe(pc, {}).output);
    const json expected = json::parse(R"({
          "0001": {"CreateFileName": {"type": "REG_SZ", "hex": "5c5c2e5c7573627363616e30"},
                   "FriendlyName": {"type": "REG_SZ", "hex": "a5784a57"}},
          "0002": {"access": "denied"},
          "0003": {"CreateFileName": "\\\\.\\usbscan0", "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3",
                   "FriendlyName": {"type": "REG_EXPAND_SZ", "hex": "4100"}}})");
    EXPECT_EQ(capture["imagingDevices"], expected);
    // The entry the updater picks names the first lock; its FriendlyName here is not text.
    EXPECT_EQ(capture["probe"]["friendlyName"], json("A"));
}

// Every call the probe makes, failing at its first and at its last use (and at every use): the
// probe still writes a scenario that scanfw-sim takes, and leaves no handle open but one whose
// closing was the call that failed.
TEST(ProbeCapture, AnyFailingCallStillGivesAScenario) {
    const json pc = json::parse(sim::FindBuiltinScenario("update")->json);
    const std::vector<std::string> args = {"--exe", EXE_PATH, "--ask-scanner"};
    sim::RunOptions journaled = Virtual();
    journaled.journal = true;
    const sim::RunResult clean = Probe(pc, args, journaled);
    std::map<std::string, uint32_t> uses;
    for (const sim::JournalEntry& entry : clean.journal) uses[entry.call] = std::max(uses[entry.call], entry.ordinal);
    const std::set<std::string> closers = {"CloseHandle", "RegCloseKey",       "CloseServiceHandle",
                                           "FreeLibrary", "BCryptDestroyHash", "BCryptCloseAlgorithmProvider"};
    size_t runs = 0;
    for (const auto& [call, count] : uses) {
        if (!sim::IsFailableCall(call))
            continue;
        for (const auto& [nth, times] : std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}, {count, 1}, {1, 0}}) {
            SCOPED_TRACE(call + " failing from use " + std::to_string(nth) + (times == 0 ? " on" : ""));
            json failing = pc;
            failing["failures"] = json::array({{{"call", call}, {"nth", nth}, {"count", times}}});
            const sim::RunResult run = Probe(failing, args);
            ++runs;
            ASSERT_EQ(run.exitCode, 0);
            EXPECT_NO_THROW(sim::ParseScenario(run.output, "capture")) << run.output;
            if (!closers.count(call)) {
                for (const auto& [kind, open] : run.report["openHandles"].items()) EXPECT_EQ(open, 0) << kind;
            }
        }
    }
    EXPECT_GT(runs, 60u);
}

TEST(ProbeCapture, CommandLine) {
    const json pc = json::object();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* stdoutStart;  // "" when nothing at all
    };
    const std::string unwritable = "/nonexistent-folder/capture.json";
    const std::vector<Case> cases = {
        {{"--help"}, 0, "usage: scanfw-probe"},
        {{"--colour"}, 2, ""},
        {{"--out"}, 2, ""},
        {{"--exe"}, 2, ""},
        {{"--out", "a.json", "--out", "b.json"}, 2, ""},
        {{"--ask-scanner", "--ask-scanner"}, 2, ""},
        {{"--out", unwritable}, 1, ""},
        {{"--out", "/dev/full"}, 1, ""},
        {{}, 0, "{\n  \"userLangId\": \"0x0409\""},
    };
    for (const Case& c : cases) {
        const sim::RunResult run = Probe(pc, c.args);
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        EXPECT_EQ(run.exitCode, c.exitCode) << line;
        EXPECT_EQ(run.output.substr(0, std::string(c.stdoutStart).size()), c.stdoutStart) << line;
        if (std::string(c.stdoutStart).empty()) {
            EXPECT_EQ(run.output, "") << line;
        }
    }
}

// Text that is not UTF-8 (a path in the ANSI code page) and control characters still give JSON.
TEST(ProbeJson, StringsAlwaysPrintAsValidJson) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"quote \" and \\", "quote \" and \\"},
        {"tab\tline\n", "tab\tline\n"},
        {"\xa5\x78", "\xc2\xa5x"},                     // a Big5 lead byte: the character of its number
        {"caf\xc3\xa9", "caf\xc3\xa9"},                // UTF-8 stays as it is
        {"\xe2\x82", "\xc3\xa2\xc2\x82"},              // a cut-off sequence
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},  // a surrogate is not text
    };
    for (const auto& [text, decoded] : cases) {
        JsonValue doc = JsonObject();
        Add(doc, "s", JsonString(text));
        EXPECT_EQ(json::parse(JsonText(doc))["s"], decoded);
        EXPECT_EQ(IsUtf8(text), text == decoded) << text;
    }
}

}  // namespace
