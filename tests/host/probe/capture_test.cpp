// The probe against the simulated host: what it captures of every built-in scenario and of the
// repository's scenario files, replayed, makes the updater print and do exactly what it does on
// the original, and the probe changes nothing and sends nothing to a device unless asked (the
// round trip; the capture fuzzer tries it on any scenario); any call of its failing still gives a
// scenario file that scanfw-sim takes, with every handle closed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "app/message_texts.h"
#include "app/messages.h"
#include "capture_round_trip.h"
#include "probe/json_value.h"
#include "sim/builtin_scenarios.h"
#include "sim/tool/runner.h"

namespace {

using nlohmann::json;

using probe_test::EXE_PATH;

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

sim::RunResult Probe(const json& pc, std::vector<std::string> args, const sim::RunOptions& options = Virtual()) {
    return probe_test::RunProbe(sim::ParseScenario(pc.dump(), "pc"), args, options);
}

TEST(ProbeCapture, EveryScenarioReplaysAsTheOriginal) {
    size_t compared = 0;
    const std::vector<Source> sources = Sources();
    for (const Source& source : sources) {
        const sim::Scenario original = sim::ParseScenario(source.text, source.name);
        // Both ways: unasked, every scanner reply is the original's; asked, the first is captured.
        for (bool ask : {false, true}) {
            const probe_test::RoundTrip trip = probe_test::CaptureAndReplay(original, ask, Virtual());
            for (const std::string& problem : trip.problems)
                ADD_FAILURE() << source.name << (ask ? " --ask-scanner" : "") << ": " << problem << "\ncapture:\n"
                              << trip.capture;
            compared += trip.compared ? 1 : 0;
        }
    }
    // Every source is compared; none of them has a lock name that a scenario file cannot hold.
    EXPECT_EQ(compared, 2 * sources.size());
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

// The exe's images as the updater would find them, hashed by the system's hash functions; of the
// path only the file's name is kept, since its folders may name the user.
TEST(ProbeCapture, ExecutableImagesHashedAndPathNotKept) {
    const json pc = json::parse(R"({"resources": {"131": {"size": 1000}}})");
    const sim::RunResult run = Probe(pc, {"--exe", "C:\\Users\\alice\\Downloads\\scanfw.exe"});
    const json capture = json::parse(run.output);
    EXPECT_EQ(capture["resources"], json::parse(R"({"121": {"size": 8388608}, "131": {"size": 1000}})"));
    // The pattern image of id 121 and full size, hashed independently (Python's hashlib).
    EXPECT_EQ(capture["probe"]["exe"]["resources"]["121"]["sha256"],
              "3df0f3116269ca9e923a3252adc9ae6d5c9876ae9200f4b49b757e23bd7b8c0a");
    EXPECT_EQ(capture["probe"]["exe"]["file"], "scanfw.exe");
    EXPECT_EQ(run.output.find("alice"), std::string::npos) << run.output;
    // Any other file is not an executable the simulated host has: noted, and no resources member.
    const json other = json::parse(Probe(pc, {"--exe", "C:\\other.exe"}).output);
    EXPECT_FALSE(other.contains("resources"));
    EXPECT_EQ(other["probe"]["notes"][0]["call"], "LoadLibraryExA");
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

// Started from Explorer, alone in its console, the probe writes beside itself and keeps the window
// open until a key is pressed, in the user's language; redirected, it is a plain filter.
TEST(ProbeCapture, DoubleClickedWritesBesideItselfAndWaits) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "scanfw-probe-test";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    const sim::RunResult alone = Probe(json::parse(R"({"userLangId": "0x0404", "console": {"processes": 1}})"), {});
    const sim::RunResult piped = Probe(json::parse(R"({"console": {"processes": 1, "redirected": true}})"), {});
    std::filesystem::current_path(before);

    EXPECT_EQ(alone.exitCode, 0);
    EXPECT_EQ(alone.output, std::string(MessageText(MSG_PRESS_ANY_KEY, LANGUAGE_CHINESE)) + "\n");
    EXPECT_EQ(alone.report["keyWaits"], 1);
    std::ifstream written(folder / "scanfw-capture.json");
    std::stringstream text;
    text << written.rdbuf();
    EXPECT_EQ(json::parse(text.str())["userLangId"], "0x0404");
    EXPECT_EQ(piped.report["keyWaits"], 0);
    EXPECT_EQ(json::parse(piped.output)["userLangId"], "0x0409");
    std::filesystem::remove_all(folder);
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
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"},              // an overlong form is not either
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},      // four bytes, past the basic plane
    };
    for (const auto& [text, decoded] : cases) {
        JsonValue doc = JsonObject();
        Add(doc, "s", JsonString(text));
        EXPECT_EQ(json::parse(JsonText(doc))["s"], decoded);
        EXPECT_EQ(IsUtf8(text), text == decoded) << text;
    }
}

}  // namespace
