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
