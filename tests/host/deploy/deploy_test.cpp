// scanfw-deploy against the simulated host, with the updater as the program it starts: every
// built-in scenario through it (the bytes passed on as they came, the exit code of the outcome,
// the log, the JSON record and the detection value saying the same), each of its own calls
// failing, the outcome table, the command line scanfw.exe gets, the kept records and the check.
#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "app/messages.h"
#include "deploy/console_wait.h"
#include "deploy/detection.h"
#include "deploy/file_facts.h"
#include "deploy/log_folder.h"
#include "deploy/outcome.h"
#include "sim/builtin_scenarios.h"
#include "sim/sha256.h"
#include "sim/tool/deploy_runner.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* VERSION = "0.0.57.0";
constexpr const char* COMPUTER = "SCANFW-SIM";

// A version resource's start as a linker lays it out: header, key, padding, fixed part.
std::string VersionResource(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    std::string bytes(6, '\x01');
    for (char ch : std::string("VS_VERSION_INFO")) bytes += std::string{ch, '\0'};
    bytes += std::string(4, '\0');  // the key's zero and the padding to four bytes
    auto word32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    word32(0xFEEF04BD);
    word32(0x00010000);
    word32((uint32_t{a} << 16) | b);
    word32((uint32_t{c} << 16) | d);
    return bytes;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// What a pipe carries and the record converts: the updater's "\n" as "\r\n", Big5 as UTF-8.
std::string AsText(const std::string& output) {
    std::string text;
    for (char c : output) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return text;
}
std::string Utf8(const std::string& big5) {
    iconv_t cd = iconv_open("UTF-8", "CP950");
    std::string in = big5, out(big5.size() * 3 + 1, '\0');
    char *from = in.data(), *to = out.data();
    size_t inLeft = in.size(), outLeft = out.size();
    iconv(cd, &from, &inLeft, &to, &outLeft);
    iconv_close(cd);
    return out.substr(0, out.size() - outLeft);
}

// A folder with the two exes in it and %ProgramData% beside them, gone at the end of the test.
class DeployTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/deploy-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        fs::create_directories(Bin());
        WriteFile(Bin() / "scanfw-deploy.exe", "MZ deploy" + VersionResource(0, 0, 57, 0));
        WriteFile(Bin() / "scanfw.exe", "MZ updater " + VersionResource(0, 0, 57, 0) + " images");
        setenv("ProgramData", (root_ / "ProgramData").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path Bin() const { return root_ / "bin"; }
    fs::path Logs() const { return root_ / "ProgramData" / "scanfw" / "logs"; }

    sim::DeployRun Deploy(const sim::Scenario& scenario, std::vector<std::string> deployArgs = {},
                          std::vector<std::string> updaterArgs = {}) {
        sim::RunOptions options;
        options.realClock = false;
        options.journal = true;
        if (deployArgs.empty() && updaterArgs.empty())
            deployArgs = updaterArgs = scenario.args;
        return sim::RunDeploy(scenario, options, Bin().string(), deployArgs, updaterArgs);
    }
    sim::DeployRun Deploy(const std::string& scenarioJson) { return Deploy(sim::ParseScenario(scenarioJson, "test")); }

    // The records in the log folder: the names of the logs, sorted.
    std::vector<std::string> Records(const fs::path& folder) const {
        std::vector<std::string> logs;
        if (fs::is_directory(folder))
            for (const auto& entry : fs::directory_iterator(folder))
                if (entry.path().extension() == ".log")
                    logs.push_back(entry.path().filename().string());
        std::sort(logs.begin(), logs.end());
        return logs;
    }

    fs::path root_;
};

// A program's output by the moment it was written.
std::map<uint64_t, std::string> ByMoment(const std::vector<sim::OutputWrite>& writes) {
    std::map<uint64_t, std::string> moments;
    for (const sim::OutputWrite& w : writes) moments[w.atMs] += w.bytes;
    return moments;
}

std::string Value(const sim::DeployRun& run, const std::string& name) {
    const auto& key = run.registry.at(DETECTION_KEY);
    const sim::WrittenValue& v = key.at(name);
    return std::string(v.data.begin(), v.data.end());
}

// Every built-in: what it comes to through the deploy. A built-in not listed here fails the test.
const std::map<std::string, Outcome> kBuiltinOutcomes = {
    {"update", Outcome::Updated},
    {"zh-TW", Outcome::Updated},
    {"no-scanner", Outcome::NoScanner},
    {"passed-over", Outcome::Updated},
    {"missing-argument", Outcome::NoScanner},
    {"ready-state-6", Outcome::Updated},
    {"model-8", Outcome::Updated},
    {"busy-then-ready", Outcome::Updated},
    {"not-responding", Outcome::TryAgainLater},
    {"status-error", Outcome::FailedBeforeSending},
    {"not-registered", Outcome::FailedBeforeSending},
    {"scan-app-busy", Outcome::TryAgainLater},
    {"second-app-busy", Outcome::TryAgainLater},
    {"image-missing", Outcome::FailedBeforeSending},
    {"image-load-fails", Outcome::FailedBeforeSending},
    {"image-lock-fails", Outcome::FailedBeforeSending},
    {"image-empty", Outcome::FailedBeforeSending},
    {"damaged-image", Outcome::FailedBeforeSending},
    {"command-refused", Outcome::FailedBeforeSending},
    {"data-error", Outcome::FailedWhileSending},
    {"burn-error", Outcome::FailedWhileSending},
    {"service-refuses-stop", Outcome::TryAgainLater},
    {"service-stopped", Outcome::Updated},
    {"cancelled-while-busy", Outcome::TryAgainLater},
    {"closed-while-busy", Outcome::TryAgainLater},
    {"interrupted-while-burning", Outcome::Updated},
    {"restore-fails", Outcome::ServiceLeftDisabled},
    {"no-admin-rights", Outcome::NotAdministrator},
    {"second-updater", Outcome::TryAgainLater},
    {"double-clicked", Outcome::Updated},
};

TEST_F(DeployTest, EveryBuiltinScenarioPassesTheBytesOnAndTellsItsOutcomeThreeTimes) {
    const std::string updaterBytes = ReadFile(Bin() / "scanfw.exe");
    const std::string updaterSha =
        sim::Sha256Hex(reinterpret_cast<const uint8_t*>(updaterBytes.data()), updaterBytes.size());
    for (const sim::BuiltinScenario& b : sim::BuiltinScenarios()) {
        SCOPED_TRACE(b.name);
        ASSERT_TRUE(kBuiltinOutcomes.count(b.name)) << "no outcome listed for this built-in";
        const OutcomeInfo& want = InfoOf(kBuiltinOutcomes.at(b.name));
        fs::remove_all(Logs());
        const sim::Scenario scenario = sim::ParseScenario(b.json, b.name);
        const sim::DeployRun run = Deploy(scenario);

        // scanfw.exe's bytes, as they came: the same bytes at the same moments.
        EXPECT_EQ(run.deploy.output, run.updater.output);
        EXPECT_EQ(ByMoment(run.deploy.writes), ByMoment(run.updater.writes));
        EXPECT_EQ(run.updater.report["keyWaits"], 0);
        // Before anything else, DLLs from System32 alone.
        ASSERT_FALSE(run.deploy.journal.empty());
        EXPECT_EQ(run.deploy.journal.front().call, "SetDefaultDllDirectories");
        // A closing console may end the deploy once its record is written.
        if (run.deploy.ended != sim::ProcessEnd::Terminated) {
            EXPECT_EQ(run.deploy.exitCode, want.exitCode);
        }

        const std::vector<std::string> logs = Records(Logs());
        ASSERT_EQ(logs.size(), 1u);
        const std::string stem = logs[0].substr(0, logs[0].size() - 4);
        EXPECT_EQ(stem, "scanfw-deploy-20260101T000000Z-" + std::string(COMPUTER));
        const json record = json::parse(ReadFile(Logs() / (stem + ".json")));
        EXPECT_EQ(record["outcome"], want.name);
        EXPECT_EQ(record["exitCode"], want.exitCode);
        EXPECT_EQ(record["messages"], run.updater.report["messages"]);
        EXPECT_EQ(record["output"], Utf8(AsText(run.updater.output)));
        EXPECT_EQ(record["arguments"], json(scenario.args));
        EXPECT_EQ(record["updater"]["exitCode"], run.updater.exitCode);
        EXPECT_EQ(record["updater"]["version"], VERSION);
        EXPECT_EQ(record["updater"]["sha256"], updaterSha);
        EXPECT_EQ(record["deploy"]["version"], VERSION);
        const std::string log = ReadFile(Logs() / logs[0]);
        EXPECT_NE(log.find("outcome: " + std::string(want.name) + " ("), std::string::npos) << log;
        EXPECT_NE(log.find("\r\nexit code: " + std::to_string(want.exitCode) + "\r\n"), std::string::npos) << log;

        EXPECT_EQ(Value(run, "Outcome"), want.name + std::string(1, '\0'));
        EXPECT_EQ(Value(run, "Version"), VERSION + std::string(1, '\0'));
        const sim::WrittenValue& code = run.registry.at(DETECTION_KEY).at("ExitCode");
        EXPECT_EQ(code.type, REG_DWORD);
        EXPECT_EQ(code.data, std::vector<uint8_t>({static_cast<uint8_t>(want.exitCode & 0xFF),
                                                   static_cast<uint8_t>(want.exitCode >> 8), 0, 0}));
        EXPECT_EQ(Value(run, "When").size(), std::string("2026-01-01T00:00:00Z").size() + 1);

        ASSERT_EQ(run.commandLines.size(), 1u);
        EXPECT_EQ(run.commandLines[0].rfind("\"" + (Bin() / "scanfw.exe").string() + "\"", 0), 0u);
        for (const char* kind : {"process", "thread", "pipe", "find"}) {
            EXPECT_EQ(run.deploy.report["openHandles"].value(kind, 0), 0) << kind;
        }
    }
}

}  // namespace

namespace {

// What the messages come to, beyond what the built-ins show: the order that decides, the endings
// that follow others, the rights, and ends that are no ending.
TEST(DeployOutcome, MessagesAndTheEndDecide) {
    struct Case {
        std::vector<int> messages;
        DWORD exitCode;
        Outcome outcome;
    };
    const Case cases[] = {
        {{2, 27, 4, 10, 14, 17, 28, 19, 33}, 0, Outcome::UpdatedRestartPending},
        {{2, 27, 4, 10, 14, 17, 28, 36, 19}, 0, Outcome::Updated},
        {{2, 27, 11, 33, 35}, 0, Outcome::TryAgainLater},
        {{2, 27, 11, 32, 35}, 0, Outcome::ServiceLeftDisabled},
        {{2, 27, 4, 10, 14, 17, 28, 19, 32}, 0, Outcome::ServiceLeftDisabled},
        {{2, 27, 26}, 0, Outcome::TryAgainLater},
        {{2, 27, 34, 26}, 0, Outcome::NotAdministrator},
        {{2, 27, 34, 26, 35}, 0, Outcome::TryAgainLater},
        {{2, 27, 30}, 0, Outcome::FailedBeforeSending},
        {{2, 27, 34, 30}, 0, Outcome::NotAdministrator},
        {{2, 27, 38}, 0, Outcome::TryAgainLater},
        {{2, 27, 4, 39}, 0, Outcome::FailedBeforeSending},
        {{2, 27, 4, 10, 14, 16, 36}, 0, Outcome::FailedWhileSending},
        {{2, 27, 4, 10, 14, 23, 15, 33}, 0, Outcome::FailedBeforeSending},
        {{0, 1, 3}, 0, Outcome::NoScanner},
        {{2, 27, 4, 10, 14, 17, 28}, 0, Outcome::UpdaterFailed},  // a console closed during the burn
        {{2, 27, 4, 10, 14, 17, 28, 19}, 0xC000013A, Outcome::UpdaterFailed},
        {{19, 11}, 0, Outcome::UpdaterFailed},
        {{}, 0, Outcome::UpdaterFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.messages));
        EXPECT_EQ(OutcomeOfRun(true, c.exitCode, c.messages), c.outcome);
    }
    EXPECT_EQ(OutcomeOfRun(false, 0, {}), Outcome::UpdaterFailed);
}

// Distinct outcomes exit with distinct codes; 0, 3010 and 1618 are the engines' and the deploy's
// own codes keep clear of every code an engine reads as success, a restart or a retry.
TEST(DeployOutcome, CodesAreDistinctAndClearOfTheEnginesCodes) {
    std::set<DWORD> codes;
    for (const OutcomeInfo& info : Outcomes()) {
        EXPECT_TRUE(codes.insert(info.exitCode).second) << info.exitCode;
        EXPECT_FALSE(std::set<DWORD>({1, 1641, 1707}).count(info.exitCode)) << info.exitCode;
    }
    EXPECT_EQ(codes.size(), 9u);
    EXPECT_EQ(InfoOf(Outcome::Updated).exitCode, 0u);
    EXPECT_EQ(InfoOf(Outcome::UpdatedRestartPending).exitCode, 3010u);
    EXPECT_EQ(InfoOf(Outcome::TryAgainLater).exitCode, 1618u);
    EXPECT_FALSE(codes.count(EXIT_BAD_COMMAND_LINE));
}

TEST(DeployFileVersion, FoundByTheKeyAndTheSignatureAfterIt) {
    const std::string resource = VersionResource(1, 2, 3, 4);
    std::string noSignature = resource;
    noSignature[40] = 0;  // the signature's first byte
    struct Case {
        std::string bytes;
        std::string version;
    };
    const Case cases[] = {
        {resource, "1.2.3.4"},
        {"MZ\x90" + resource + "tail", "1.2.3.4"},
        {noSignature, ""},
        {noSignature + VersionResource(0, 0, 57, 0), "0.0.57.0"},
        {resource.substr(0, resource.size() - 1), ""},
        {"MZ no resource", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FileVersionIn(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.version);
}

// Each call of the deploy's own failing: it never stops the bytes, a record that cannot be made
// or a detection value that cannot be written never changes the exit code, every handle is
// closed, and a run that cannot be started or followed is the updater's failure.
TEST_F(DeployTest, EachOfItsCallsFailing) {
    const std::string update = sim::FindBuiltinScenario("update")->json;
    struct Case {
        const char* call;
        Outcome outcome;
        bool passedOn;  // scanfw.exe ran and its bytes were passed on
        bool record;
        bool detection;  // the Outcome value is written
    };
    const Case cases[] = {
        {"SetDefaultDllDirectories", Outcome::Updated, true, true, true},
        {"GetModuleFileNameA", Outcome::UpdaterFailed, false, true, true},
        {"GetComputerNameA", Outcome::Updated, true, true, true},
        {"CreateNamedPipeW", Outcome::UpdaterFailed, false, true, true},
        {"CreateFileW", Outcome::UpdaterFailed, false, true, true},
        {"CreateProcessA", Outcome::UpdaterFailed, false, true, true},
        {"ReadFileEx", Outcome::UpdaterFailed, false, true, true},
        {"WaitForSingleObjectEx", Outcome::UpdaterFailed, true, true, true},
        {"GetExitCodeProcess", Outcome::UpdaterFailed, true, true, true},
        {"MultiByteToWideChar", Outcome::Updated, true, true, true},
        {"WideCharToMultiByte", Outcome::Updated, true, true, true},
        {"CreateDirectoryA", Outcome::Updated, true, false, true},
        {"FindFirstFileA", Outcome::Updated, true, true, true},
        {"FindNextFileA", Outcome::Updated, true, true, true},
        {"DeleteFileA", Outcome::Updated, true, true, true},
        {"RegDeleteKeyValueA", Outcome::Updated, true, true, false},
        {"RegSetKeyValueA", Outcome::Updated, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        fs::remove_all(Logs());
        json pc = json::parse(update);
        // RegDeleteKeyValueA finds nothing to delete on a fresh PC: the failure is an access denied.
        pc["failures"] = {{{"call", c.call}, {"error", 5}}};
        const sim::DeployRun run = Deploy(pc.dump());
        EXPECT_EQ(run.deploy.exitCode, InfoOf(c.outcome).exitCode);
        EXPECT_EQ(run.deploy.output, c.passedOn ? run.updater.output : "");
        EXPECT_EQ(Records(Logs()).size(), c.record ? 1u : 0u);
        EXPECT_EQ(run.registry.count(DETECTION_KEY) && run.registry.at(DETECTION_KEY).count("Outcome"), c.detection);
        for (const char* kind : {"process", "thread", "pipe", "find"}) {
            EXPECT_EQ(run.deploy.report["openHandles"].value(kind, 0), 0) << kind;
        }
    }
}

TEST_F(DeployTest, WithoutScanfwExeBesideItNothingRunsAndTheRecordSaysSo) {
    fs::remove(Bin() / "scanfw.exe");
    const sim::DeployRun run = Deploy(sim::FindBuiltinScenario("update")->json);
    EXPECT_EQ(run.deploy.exitCode, InfoOf(Outcome::UpdaterFailed).exitCode);
    EXPECT_EQ(run.deploy.output, "");
    EXPECT_TRUE(run.commandLines.empty());
    const std::vector<std::string> logs = Records(Logs());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(ReadFile(Logs() / logs[0]).find("scanfw.exe not started: CreateProcessA failed with error 2"),
              std::string::npos);
    const json record = json::parse(ReadFile(Logs() / (logs[0].substr(0, logs[0].size() - 4) + ".json")));
    EXPECT_EQ(record["updater"]["started"], false);
    EXPECT_EQ(record["updater"]["failedCall"], "CreateProcessA");
    EXPECT_EQ(record["updater"]["sha256"], nullptr);
    EXPECT_EQ(Value(run, "Outcome"), std::string("updater-failed") + '\0');
}

// The service cannot be started after the burn: updated, and a restart brings it back (3010).
TEST_F(DeployTest, AServiceThatStartsOnlyWithTheNextRestartIsARestartNeeded) {
    json pc = json::parse(sim::FindBuiltinScenario("update")->json);
    pc["failures"] = {{{"call", "StartServiceA"}}};
    const sim::DeployRun run = Deploy(pc.dump());
    EXPECT_EQ(run.updater.report["messages"].back(), MSG_WIA_START_FAILED);
    EXPECT_EQ(run.deploy.exitCode, 3010);
    EXPECT_EQ(Value(run, "Outcome"), std::string("updated") + '\0');
}

// The deploy's own options come first; scanfw.exe gets the rest exactly, whatever they hold.
TEST_F(DeployTest, ScanfwExeGetsItsArgumentsExactly) {
    const std::vector<std::string> args = {"-a", "two words", "quote\"d", "back\\slash\\", "trail\\\\", "", "-b"};
    std::vector<std::string> deployArgs = {"--log-dir", (root_ / "elsewhere").string(), "--"};
    deployArgs.insert(deployArgs.end(), args.begin(), args.end());
    const sim::DeployRun run = Deploy(sim::ParseScenario("{}", "none"), deployArgs, args);
    ASSERT_EQ(run.commandLines.size(), 1u);
    // The C runtime's reading of a command line, after the quoted program.
    std::vector<std::string> read;
    const std::string& line = run.commandLines[0];
    size_t i = line.find('"', 1) + 1;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i == line.size())
            break;
        std::string arg;
        bool quoted = false;
        for (; i < line.size() && (quoted || line[i] != ' '); ++i) {
            size_t slashes = 0;
            while (i < line.size() && line[i] == '\\') ++slashes, ++i;
            if (i < line.size() && line[i] == '"') {
                arg.append(slashes / 2, '\\');
                if (slashes % 2 == 1)
                    arg += '"';
                else
                    quoted = !quoted;
            } else {
                arg.append(slashes, '\\');
                if (i < line.size() && (quoted || line[i] != ' '))
                    arg += line[i];
                else
                    --i;
            }
        }
        read.push_back(arg);
    }
    EXPECT_EQ(read, args) << line;
    EXPECT_EQ(Records(root_ / "elsewhere").size(), 1u);
    EXPECT_EQ(Records(Logs()).size(), 0u);
}

TEST_F(DeployTest, ABadCommandLineRunsNothing) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--log-dir"},
                                               {"--log-dir", ""},
                                               {"--log-dir", "a", "--log-dir", "b"},
                                               {"--check", "-a"},
                                               {"--check", "--log-dir", "a"},
                                               {"--verbose"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const sim::DeployRun run = Deploy(sim::ParseScenario("{}", "none"), args, {});
        EXPECT_EQ(run.deploy.exitCode, EXIT_BAD_COMMAND_LINE);
        EXPECT_TRUE(run.commandLines.empty());
        EXPECT_TRUE(run.registry.empty());
    }
}

// The newest records of this computer stay, the oldest go with both their files; another
// computer's in the same folder, and names that only look alike, are left alone.
TEST_F(DeployTest, KeepsTheNewestRecordsOfItsOwnComputer) {
    fs::create_directories(Logs());
    std::vector<std::string> kept;
    for (int day = 1; day <= 25; ++day) {
        char stem[64];
        std::snprintf(stem, sizeof stem, "scanfw-deploy-202512%02dT080000Z-%s", day, COMPUTER);
        for (const char* ext : {".log", ".json"}) WriteFile(Logs() / (std::string(stem) + ext), "old");
        if (day > 6)
            kept.push_back(std::string(stem) + ".log");
    }
    const std::vector<std::string> others = {"scanfw-deploy-20251201T080000Z-OTHER-PC.log",
                                             "scanfw-deploy-20251201T080000Z-SCANFW-SIM2.log",
                                             "scanfw-deploy-20251201T080000Z-SCANFW-SIM-x.log", "notes.log"};
    for (const std::string& name : others) WriteFile(Logs() / name, "other");
    Deploy(sim::FindBuiltinScenario("no-scanner")->json);
    kept.push_back("scanfw-deploy-20260101T000000Z-" + std::string(COMPUTER) + ".log");
    std::vector<std::string> want = kept;
    want.insert(want.end(), others.begin(), others.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(Records(Logs()), want);
    EXPECT_FALSE(fs::exists(Logs() / ("scanfw-deploy-20251206T080000Z-" + std::string(COMPUTER) + ".json")));
    EXPECT_TRUE(fs::exists(Logs() / ("scanfw-deploy-20251207T080000Z-" + std::string(COMPUTER) + ".json")));
}

// A folder that cannot be made (a file stands where it should be): said, and nothing else changes.
TEST_F(DeployTest, ALogFolderThatCannotBeWrittenChangesNothingElse) {
    WriteFile(root_ / "a-file", "");
    const sim::DeployRun run = Deploy(sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "update"),
                                      {"--log-dir", (root_ / "a-file" / "logs").string()}, {});
    EXPECT_EQ(run.deploy.exitCode, 0);
    EXPECT_EQ(run.deploy.output, run.updater.output);
    EXPECT_EQ(Value(run, "Outcome"), std::string("updated") + '\0');
    EXPECT_FALSE(fs::exists(Logs()));
}

// A closing console reaches both: scanfw.exe cancels, and still waits up to two seconds for the
// service's stop that was under way before it asks for the start; the deploy's handler keeps it
// alive meanwhile (without it the close would end the deploy at once), and it writes its record.
TEST_F(DeployTest, AClosingConsoleEndsTheDeployOnlyAfterItsRecord) {
    json pc = json::parse(sim::FindBuiltinScenario("closed-while-busy")->json);
    pc["service"] = {{"pendingQueries", 8}, {"waitHint", 1000}};
    pc["console"]["interrupts"] = {{{"event", "close"}, {"atMs", 1500}}};
    const sim::DeployRun run = Deploy(pc.dump());
    EXPECT_EQ(run.updater.report["messages"].back(), MSG_UPDATE_CANCELLED);
    const uint64_t updaterEnd = run.updater.report["elapsedMs"];
    EXPECT_GT(updaterEnd, 1500u + 1000u);
    // Ended by its own return or by Windows once its handler let go: after scanfw.exe, within 5 s.
    const uint64_t deployEnd = run.deploy.report["elapsedMs"];
    EXPECT_GE(deployEnd, updaterEnd);
    EXPECT_LE(deployEnd, 1500u + CLOSE_WAIT_MS);
    EXPECT_EQ(run.deploy.output, run.updater.output);
    EXPECT_EQ(Records(Logs()).size(), 1u);
    EXPECT_EQ(Value(run, "Outcome"), std::string("try-again-later") + '\0');
}

TEST_F(DeployTest, CheckLooksForTheScannerAndSendsNothing) {
    struct Case {
        const char* scenario;
        int exitCode;
        std::string says;
    };
    const Case cases[] = {
        {"update", 0, "scanfw-deploy: a scanner is connected (\\\\.\\usbscan0)\n"},
        {"passed-over", 0,
         "Get device descriptor error!!\n\nscanfw-deploy: a scanner is connected (\\\\.\\usbscan3)\n"},
        {"no-scanner", 10, "scanfw-deploy: no scanner connected\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        const sim::DeployRun run =
            Deploy(sim::ParseScenario(sim::FindBuiltinScenario(c.scenario)->json, c.scenario), {"--check"}, {});
        EXPECT_EQ(run.deploy.exitCode, c.exitCode);
        EXPECT_EQ(run.deploy.output, c.says);
        EXPECT_EQ(run.deploy.journal.front().call, "SetDefaultDllDirectories");
        EXPECT_TRUE(run.deploy.report["device"].is_null() || run.deploy.report["device"]["commands"].empty());
        EXPECT_EQ(run.deploy.report["openHandles"]["device"], 0);
        EXPECT_EQ(run.deploy.report["service"]["stopRequests"], 0);
        EXPECT_TRUE(run.commandLines.empty());
        EXPECT_TRUE(run.registry.empty());
    }
    EXPECT_EQ(Records(Logs()).size(), 0u);
}

}  // namespace
