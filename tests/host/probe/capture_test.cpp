// The probe against the simulated host: what it captures of every built-in scenario and of the
// repository's scenario files, replayed, makes the updater print and do exactly what it does on
// the original, and the probe changes nothing and sends nothing to a device unless asked (the
// round trip; the capture fuzzer tries it on any scenario); any call of its failing still gives a
// scenario file that scanfw-sim takes, or leaves the file it writes as it was, with every handle
// closed; whatever --exe and --out name, it never reads past a file nor writes to a device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A folder of the test's own under the system's temporary folder, emptied first and removed at the
// end; tests run in parallel, each in a process of its own.
class TempFolder {
public:
    explicit TempFolder(const std::string& name)
        : path_(std::filesystem::temp_directory_path() /
                ("scanfw-probe-" + name + "-" + std::to_string(static_cast<long>(getpid())))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    // What the folder holds, by name, sorted.
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) names.insert(entry.path().filename());
        return names;
    }

private:
    std::filesystem::path path_;
};

// Runs the probe with the current folder set to `folder`, as a customer runs it from Downloads.
sim::RunResult ProbeIn(const std::filesystem::path& folder, const json& pc, const std::vector<std::string>& args) {
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    const sim::RunResult run = Probe(pc, args);
    std::filesystem::current_path(before);
    return run;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
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
}

// Whatever --exe names, the probe writes its capture and notes what it found there, and reads no
// byte outside the file (under the address sanitizer such a read would stop the test): the images
// of a whole exe are hashed, and a scenario gets no resources that it cannot describe.
TEST(ProbeCapture, ExecutableAsTheCustomerHasIt) {
    const std::string notExecutable = "not a whole Windows executable: cut short, damaged, or another kind of file";
    struct Case {
        const char* exeFile;
        const char* path;
        const char* call;  // of the one note; "" for none
        DWORD error;
        std::string foundEnd;  // how the note's `found` ends
        size_t hashed;         // images hashed
    };
    const Case cases[] = {
        {"whole", EXE_PATH, "", 0, "", 2},
        {"truncated", EXE_PATH, "LoadLibraryExA", ERROR_BAD_EXE_FORMAT, notExecutable, 0},
        {"notExecutable", EXE_PATH, "LoadLibraryExA", ERROR_BAD_EXE_FORMAT, notExecutable, 0},
        {"folder", EXE_PATH, "GetFileAttributesExA", ERROR_ACCESS_DENIED, "a folder, not an executable", 0},
        {"imagePastEnd", EXE_PATH, "SizeofResource", ERROR_HANDLE_EOF, "reach past the end of the file: not read", 1},
        // Files of the host's own disk: a folder, a device that is no executable, a missing file.
        {"whole", "/", "GetFileAttributesExA", ERROR_ACCESS_DENIED, "a folder, not an executable", 0},
        {"whole", "/dev/null", "LoadLibraryExA", ERROR_BAD_EXE_FORMAT, notExecutable, 0},
        {"whole", "C:\\Support\\other.exe", "GetFileAttributesExA", ERROR_FILE_NOT_FOUND, "no such file", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.exeFile) + " at " + c.path);
        const sim::RunResult run = Probe({{"exeFile", c.exeFile}}, {"--exe", c.path});
        ASSERT_EQ(run.exitCode, 0);
        const json capture = json::parse(run.output);
        const json& notes = capture["probe"]["notes"];
        ASSERT_EQ(notes.size(), *c.call == '\0' ? 0u : 1u) << notes;
        if (!notes.empty()) {
            EXPECT_EQ(notes[0]["call"], c.call);
            EXPECT_EQ(notes[0]["error"], c.error);
            EXPECT_TRUE(EndsWith(notes[0].value("found", ""), c.foundEnd)) << notes[0];
        }
        size_t hashed = 0;
        const json images = capture["probe"]["exe"].value("resources", json::object());
        for (const auto& [id, image] : images.items()) hashed += !image.value("sha256", "").empty();
        EXPECT_EQ(hashed, c.hashed);
        // Resources only when every image could be described.
        EXPECT_EQ(capture.contains("resources"), c.hashed == 2);
        for (const auto& [kind, open] : run.report["openHandles"].items()) EXPECT_EQ(open, 0) << kind;
    }
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

// Every call the probe makes, failing at its first and at its last use (and at every use), with
// the capture going to a file that is there already: the probe writes a whole scenario that
// scanfw-sim takes (exit 0), or leaves the file as it was (exit 1, or 2 when it cannot tell that
// the file is one on a disk), saying which in one line. It never leaves a temporary file, nor a
// handle open but one whose closing was the call that failed. A call that only the writing makes always stops it; a
// call of the capture alone is noted in it.
TEST(ProbeCapture, AnyFailingCallStillGivesAScenario) {
    const TempFolder folder("failing");
    const std::filesystem::path out = folder.Path() / "capture.json";
    const std::string previous = "the previous capture\n";
    const json pc = json::parse(sim::FindBuiltinScenario("update")->json);
    const std::vector<std::string> args = {"--exe", EXE_PATH, "--ask-scanner", "--out", out.string()};
    sim::RunOptions journaled = Virtual();
    journaled.journal = true;
    WriteText(out, previous);
    const sim::RunResult clean = Probe(pc, args, journaled);
    ASSERT_EQ(clean.exitCode, 0);
    std::map<std::string, uint32_t> uses;
    for (const sim::JournalEntry& entry : clean.journal) uses[entry.call] = std::max(uses[entry.call], entry.ordinal);
    const std::set<std::string> writing = {"CreateFileW",      "MultiByteToWideChar", "GetFileType",
                                           "GetTempFileNameA", "FlushFileBuffers",    "MoveFileExA"};
    const std::set<std::string> shared = {"CloseHandle", "WriteFile", "GetFullPathNameA", "GetFileAttributesExA"};
    for (const std::string& call : writing) EXPECT_EQ(uses.count(call), 1u) << call << " is never made";
    const std::set<std::string> closers = {"CloseHandle", "RegCloseKey",      "CloseServiceHandle",
                                           "FreeLibrary", "CryptDestroyHash", "CryptReleaseContext"};
    size_t runs = 0;
    for (const auto& [call, count] : uses) {
        if (!sim::IsFailableCall(call))
            continue;
        for (const auto& [nth, times] : std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}, {count, 1}, {1, 0}}) {
            SCOPED_TRACE(call + " failing from use " + std::to_string(nth) + (times == 0 ? " on" : ""));
            json failing = pc;
            failing["failures"] = json::array({{{"call", call}, {"nth", nth}, {"count", times}}});
            WriteText(out, previous);
            testing::internal::CaptureStderr();
            const sim::RunResult run = Probe(failing, args);
            const std::string said = testing::internal::GetCapturedStderr();
            ++runs;
            // What became of the capture, in one line, whatever failed.
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
            const std::string now = ReadText(out);
            EXPECT_EQ(folder.Names(), std::set<std::string>{"capture.json"});
            if (run.exitCode == 0) {
                EXPECT_NO_THROW(sim::ParseScenario(now, "capture")) << now;
            } else {
                EXPECT_TRUE(run.exitCode == 1 || run.exitCode == 2) << run.exitCode;
                EXPECT_EQ(now, previous);
            }
            if (writing.count(call)) {
                EXPECT_NE(run.exitCode, 0);
            } else if (!shared.count(call)) {
                EXPECT_EQ(run.exitCode, 0);
            }
            if (!closers.count(call)) {
                for (const auto& [kind, open] : run.report["openHandles"].items()) EXPECT_EQ(open, 0) << kind;
            }
        }
    }
    EXPECT_GT(runs, 90u);
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
        // A device that the host's disk has under a name that is no device name: GetFileType tells.
        {{"--out", "/dev/full"}, 2, ""},
        {{"--out", "/tmp"}, 2, ""},
        {{"--out", "/tmp/"}, 2, ""},
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

// A device or a namespace is refused by its name alone, in any folder, case and extension: no call
// is made but the first, which keeps DLLs to the system folder, and one line says why.
TEST(ProbeCapture, OutNamingADeviceIsRefusedBeforeAnyCall) {
    const char* const devices[] = {
        "NUL",
        "nul.json",
        "C:\\Users\\x\\Downloads\\COM1.txt",
        "lpt9",
        "con .txt",
        "AUX.",
        "CONOUT$",
        "Prn.tar.gz",
        "C:NUL",
        "conin$:",
        "\\\\.\\usbscan0",
        "//./nul",
        "\\\\?\\C:\\x.json",
        "\\??\\C:\\x.json",
        "\\\\server\\pipe\\capture",
        "\\\\server\\MailSlot\\x",
    };
    sim::RunOptions journaled = Virtual();
    journaled.journal = true;
    for (const char* device : devices) {
        testing::internal::CaptureStderr();
        const sim::RunResult run = Probe(json::object(), {"--out", device}, journaled);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(run.exitCode, 2) << device;
        EXPECT_EQ(run.output, "") << device;
        ASSERT_EQ(run.journal.size(), 1u) << device;
        EXPECT_EQ(run.journal[0].call, "SetDefaultDllDirectories");
        EXPECT_EQ(sim::M().dllSearchFlags, LOAD_LIBRARY_SEARCH_SYSTEM32);
        EXPECT_EQ(said, "scanfw-probe: --out " + std::string(device) + " names a device, not a file\n");
    }
}

// --out in the current folder: a new file, or one that is there replaced whole; names that only
// look like devices are files; a folder, a pipe or a missing folder are never written, and no
// temporary file is ever left.
TEST(ProbeCapture, OutIsAFileOnADiskWholeOrNotAtAll) {
    const TempFolder folder("out");
    enum class Prepare { Nothing, File, Folder, Pipe };
    struct Case {
        const char* out;
        Prepare there;
        int exitCode;
        std::set<std::string> after;  // what the folder holds then
    };
    const Case cases[] = {
        {"capture.json", Prepare::Nothing, 0, {"capture.json"}},
        {"capture.json", Prepare::File, 0, {"capture.json"}},
        {"null", Prepare::Nothing, 0, {"null"}},
        {"com10.json", Prepare::Nothing, 0, {"com10.json"}},
        {"nul-capture.json", Prepare::Nothing, 0, {"nul-capture.json"}},
        {"sub\\..\\capture.json.", Prepare::Nothing, 0, {"capture.json"}},
        {"capture.json", Prepare::Folder, 2, {"capture.json"}},
        {"capture.json", Prepare::Pipe, 2, {"capture.json"}},
        {"missing/capture.json", Prepare::Nothing, 1, {}},
    };
    const std::string previous = "the previous capture\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        for (const std::string& name : folder.Names()) std::filesystem::remove_all(folder.Path() / name);
        const std::filesystem::path there = folder.Path() / "capture.json";
        if (c.there == Prepare::File) {
            WriteText(there, previous);
        } else if (c.there == Prepare::Folder) {
            std::filesystem::create_directory(there);
        } else if (c.there == Prepare::Pipe) {
            ASSERT_EQ(mkfifo(there.c_str(), 0600), 0);
        }
        const sim::RunResult run = ProbeIn(folder.Path(), json::object(), {"--out", c.out});
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(folder.Names(), c.after);
        if (c.exitCode == 0) {
            EXPECT_EQ(json::parse(ReadText(folder.Path() / *c.after.begin()))["userLangId"], "0x0409");
        }
        if (c.there == Prepare::Pipe) {
            EXPECT_TRUE(std::filesystem::is_fifo(there));
        }
        for (const auto& [kind, open] : run.report["openHandles"].items()) EXPECT_EQ(open, 0) << kind;
    }
}

// Started from Explorer, alone in its console, the probe writes beside itself under the time's
// name, never over a file that is there, and keeps the window open until a key is pressed, in the
// user's language; redirected, it is a plain filter.
TEST(ProbeCapture, DoubleClickedWritesBesideItselfAndWaits) {
    const TempFolder folder("double-clicked");
    // The simulated clock starts at 2026-01-01 00:00:00 UTC.
    const std::string taken = "scanfw-capture-20260101-000000.json";
    WriteText(folder.Path() / taken, "kept\n");
    const json alone = json::parse(R"({"userLangId": "0x0404", "console": {"processes": 1}})");
    const sim::RunResult first = ProbeIn(folder.Path(), alone, {});
    const sim::RunResult second = ProbeIn(folder.Path(), alone, {});
    const sim::RunResult piped =
        ProbeIn(folder.Path(), json::parse(R"({"console": {"processes": 1, "redirected": true}})"), {});

    for (const sim::RunResult* run : {&first, &second}) {
        EXPECT_EQ(run->exitCode, 0);
        EXPECT_EQ(run->output, std::string(MessageText(MSG_PRESS_ANY_KEY, LANGUAGE_CHINESE)) + "\n");
        EXPECT_EQ(run->report["keyWaits"], 1);
    }
    EXPECT_EQ(folder.Names(), (std::set<std::string>{taken, "scanfw-capture-20260101-000000-2.json",
                                                     "scanfw-capture-20260101-000000-3.json"}));
    EXPECT_EQ(ReadText(folder.Path() / taken), "kept\n");
    for (const char* name : {"scanfw-capture-20260101-000000-2.json", "scanfw-capture-20260101-000000-3.json"})
        EXPECT_EQ(json::parse(ReadText(folder.Path() / name))["userLangId"], "0x0404") << name;
    EXPECT_EQ(piped.report["keyWaits"], 0);
    EXPECT_EQ(json::parse(piped.output)["userLangId"], "0x0409");
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
