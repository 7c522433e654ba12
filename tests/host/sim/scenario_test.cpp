// The scenario loader: defaults, number forms, and one clear line naming the file and the field
// for every kind of bad input.
#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "sim/builtin_scenarios.h"

namespace {

TEST(ScenarioLoader, EmptyObjectTakesEveryDefault) {
    sim::Scenario s = sim::ParseScenario("{}", "t.json");
    EXPECT_EQ(s.userLangId, 0x0409);
    EXPECT_EQ(s.tickStart, 0x00100000u);
    EXPECT_TRUE(s.args.empty());
    EXPECT_TRUE(s.devices.empty());
    EXPECT_TRUE(s.service.exists);
    EXPECT_EQ(s.service.state, 4u);
    EXPECT_EQ(s.service.controlsAccepted, 7u);
    EXPECT_EQ(s.service.startType, 2u);
    EXPECT_EQ(s.service.waitHint, 1000u);
    EXPECT_EQ(s.service.pendingQueries, 1);
    EXPECT_EQ(s.resources.at(121).size, sim::IMAGE_121_SIZE);
    EXPECT_EQ(s.resources.at(131).size, sim::IMAGE_131_SIZE);
}

TEST(ScenarioLoader, DeviceDefaultsAndTheDefaultBurn) {
    sim::Scenario s = sim::ParseScenario(R"({"devices": [{"index": 7}]})", "t.json");
    ASSERT_EQ(s.devices.size(), 1u);
    const sim::DeviceSpec& d = s.devices[0];
    EXPECT_EQ(d.vid, 0x2A7B);
    EXPECT_EQ(d.pid, 0x41C3);
    EXPECT_EQ(d.bcd, 0x0100);
    EXPECT_EQ(d.open, sim::OpenMode::Ok);
    ASSERT_EQ(d.scanner.ready.size(), 1u);
    EXPECT_EQ(d.scanner.ready[0], sim::MakeReply(0, 0, 0, 0));
    // Ten burning steps of 0..90 percent, then done at 100.
    ASSERT_EQ(d.scanner.progress.size(), 11u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(d.scanner.progress[i], sim::MakeReply(0, 7, static_cast<uint8_t>(10 * i), 0));
    EXPECT_EQ(d.scanner.progress[10], sim::MakeReply(0, 0, 100, 0));
}

TEST(ScenarioLoader, NumbersAsJsonOrHexStrings) {
    sim::Scenario s = sim::ParseScenario(R"({"userLangId": "0x0404", "tickStart": 4294967000,
        "devices": [{"index": "0xFF", "descriptor": {"vid": 10, "pid": "0x41c3"}}]})",
                                         "t.json");
    EXPECT_EQ(s.userLangId, 0x0404);
    EXPECT_EQ(s.tickStart, 4294967000u);
    EXPECT_EQ(s.devices[0].index, 255);
    EXPECT_EQ(s.devices[0].vid, 10);
}

TEST(ScenarioLoader, RawRepliesWithNamedMembersOnTop) {
    sim::Scenario s = sim::ParseScenario(
        R"({"devices": [{"index": 0, "scanner": {"ready": [{"raw": "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", "state": 0, "model": 8}]}}]})",
        "t.json");
    const sim::ReplyBytes& r = s.devices[0].scanner.ready[0];
    EXPECT_EQ(r[0], 0xFF);
    EXPECT_EQ(r[4], 0x00);
    EXPECT_EQ(r[5], 0x00);
    EXPECT_EQ(r[14], 8);
    EXPECT_EQ(r[31], 0xFF);
}

TEST(ScenarioLoader, RegistryValuesOfEveryForm) {
    sim::Scenario s = sim::ParseScenario(R"({"imagingDevices": {"0003": {
        "CreateFileName": "ab", "MatchingDeviceId": {"type": "REG_DWORD", "data": 5},
        "FriendlyName": {"type": "REG_SZ", "hex": "4142"}, "access": "denied"}}})",
                                         "t.json");
    const sim::InstanceSpec& inst = s.imagingDevices.at(3);
    EXPECT_TRUE(inst.accessDenied);
    ASSERT_EQ(inst.values.size(), 3u);
    auto value = [&](const std::string& name) {
        for (const sim::RegValue& v : inst.values)
            if (v.name == name)
                return v;
        ADD_FAILURE() << name << " missing";
        return sim::RegValue{};
    };
    EXPECT_EQ(value("CreateFileName").data, (std::vector<uint8_t>{'a', 'b', 0}));
    EXPECT_EQ(value("MatchingDeviceId").type, 4u);
    EXPECT_EQ(value("MatchingDeviceId").data, (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(value("FriendlyName").data, (std::vector<uint8_t>{'A', 'B'})) << "hex is taken exactly, no terminator";
}

// The bad inputs live in a file of their own, which the schema test reads too.
TEST(ScenarioLoader, BadInputNamesFileAndField) {
    std::ifstream in(BAD_SCENARIOS_FILE);
    ASSERT_TRUE(in) << BAD_SCENARIOS_FILE;
    const nlohmann::json cases = nlohmann::json::parse(in)["cases"];
    ASSERT_GT(cases.size(), 40u);
    for (const nlohmann::json& c : cases) {
        const std::string text = c["text"], field = c["field"];
        SCOPED_TRACE(text);
        try {
            sim::ParseScenario(text, "bad.json");
            ADD_FAILURE() << "accepted";
        } catch (const sim::ScenarioError& e) {
            std::string msg = e.what();
            EXPECT_EQ(msg.rfind("bad.json: ", 0), 0u) << msg;
            EXPECT_NE(msg.find(": " + field + ": "), std::string::npos)
                << "field " << field << " not named in: " << msg;
            if (c.contains("problem")) {
                EXPECT_NE(msg.find(c["problem"].get<std::string>()), std::string::npos) << msg;
            }
            EXPECT_EQ(msg.find('\n'), std::string::npos) << "one line: " << msg;
        }
    }
}

// What cannot be a scenario file at all: each gets its own clear line, before any parsing.
TEST(ScenarioLoader, FilesThatCannotBeScenarios) {
    const std::string dir = testing::TempDir() + "scenario_files";
    std::filesystem::create_directories(dir);
    const std::string big = dir + "/big.json";
    {
        std::ofstream out(big, std::ios::binary);
        out << "{\"args\": [\"" << std::string(4 * 1024 * 1024, 'x') << "\"]}";
    }
    const struct {
        std::string path;
        const char* problem;
    } cases[] = {
        {"/nonexistent/scenario.json", "(file): no such file"},
        {dir, "(file): a directory, not a scenario file"},
        {big, "(file): 4194318 bytes, more than the 4194304 (4 MiB) a scenario file may have"},
    };
    for (const auto& c : cases) {
        try {
            sim::LoadScenarioFile(c.path);
            ADD_FAILURE() << "accepted " << c.path;
        } catch (const sim::ScenarioError& e) {
            EXPECT_EQ(std::string(e.what()), c.path + ": " + c.problem);
        }
    }
    std::filesystem::remove_all(dir);
}

// The schema names exactly the functions the loader takes in `failures`: an editor or validator
// that goes by it neither refuses a file the simulator runs nor passes one it refuses.
TEST(ScenarioLoader, TheSchemaNamesEveryFailableCall) {
    std::ifstream in(SCHEMA_FILE);
    const nlohmann::json schema = nlohmann::json::parse(in);
    const auto named = schema["$defs"]["failure"]["properties"]["call"]["enum"].get<std::vector<std::string>>();
    EXPECT_EQ(std::set<std::string>(named.begin(), named.end()),
              std::set<std::string>(sim::FailableCalls().begin(), sim::FailableCalls().end()));
}

TEST(BuiltinScenarios, AllLoadAndHaveDescriptions) {
    ASSERT_NE(sim::FindBuiltinScenario(sim::DEFAULT_SCENARIO), nullptr);
    for (const sim::BuiltinScenario& b : sim::BuiltinScenarios()) {
        EXPECT_NO_THROW(sim::ParseScenario(b.json, b.name)) << b.name;
        EXPECT_GT(std::string(b.description).size(), 10u) << b.name;
    }
}

}  // namespace
