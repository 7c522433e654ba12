// The scenario loader: defaults, number forms, and one clear line naming the file and the field
// for every kind of bad input.
#include <gtest/gtest.h>

#include <string>

#include "sim/builtin_scenarios.h"
#include "sim/scenario.h"

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
    for (int i = 0; i < 10; ++i) EXPECT_EQ(d.scanner.progress[i], sim::MakeReply(0, 7, static_cast<uint8_t>(10 * i), 0));
    EXPECT_EQ(d.scanner.progress[10], sim::MakeReply(0, 0, 100, 0));
}

TEST(ScenarioLoader, NumbersAsJsonOrHexStrings) {
    sim::Scenario s = sim::ParseScenario(R"({"userLangId": "0x0404", "tickStart": 4294967000,
        "devices": [{"index": "0xFF", "descriptor": {"vid": 10, "pid": "0x41c3"}}]})", "t.json");
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
        "FriendlyName": {"type": "REG_SZ", "hex": "4142"}, "access": "denied"}}})", "t.json");
    const sim::InstanceSpec& inst = s.imagingDevices.at(3);
    EXPECT_TRUE(inst.accessDenied);
    ASSERT_EQ(inst.values.size(), 3u);
    auto value = [&](const std::string& name) {
        for (const sim::RegValue& v : inst.values)
            if (v.name == name) return v;
        ADD_FAILURE() << name << " missing";
        return sim::RegValue{};
    };
    EXPECT_EQ(value("CreateFileName").data, (std::vector<uint8_t>{'a', 'b', 0}));
    EXPECT_EQ(value("MatchingDeviceId").type, 4u);
    EXPECT_EQ(value("MatchingDeviceId").data, (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(value("FriendlyName").data, (std::vector<uint8_t>{'A', 'B'})) << "hex is taken exactly, no terminator";
}

struct BadCase {
    const char* json;
    const char* field;  // must appear in the message
};

TEST(ScenarioLoader, BadInputNamesFileAndField) {
    const BadCase cases[] = {
        {"{", "(JSON)"},
        {"[]", "(top level)"},
        {R"({"colour": 1})", "colour"},
        {R"({"userLangId": 70000})", "userLangId"},
        {R"({"userLangId": -1})", "userLangId"},
        {R"({"userLangId": 1.5})", "userLangId"},
        {R"({"tickStart": "0xZZ"})", "tickStart"},
        {R"({"tickStart": 4294967296})", "tickStart"},
        {R"({"args": "-b"})", "args"},
        {R"({"args": [1]})", "args[0]"},
        {R"({"devices": [{}]})", "devices[0].index"},
        {R"({"devices": [{"index": 256}]})", "devices[0].index"},
        {R"({"devices": [{"index": 1}, {"index": 1}]})", "devices[1].index"},
        {R"({"devices": [{"index": 1, "open": "maybe"}]})", "devices[0].open"},
        {R"({"devices": [{"index": 1, "descriptor": "broken"}]})", "devices[0].descriptor"},
        {R"({"devices": [{"index": 1, "descriptor": {"vid": 65536}}]})", "devices[0].descriptor.vid"},
        {R"({"devices": [{"index": 1, "scanner": {"ready": []}}]})", "devices[0].scanner.ready"},
        {R"({"devices": [{"index": 1, "scanner": {"ready": [{"state": 65536}]}}]})", "devices[0].scanner.ready[0].state"},
        {R"({"devices": [{"index": 1, "scanner": {"progress": [{"percent": 256}]}}]})", "devices[0].scanner.progress[0].percent"},
        {R"({"devices": [{"index": 1, "scanner": {"ready": {"raw": "00"}}}]})", "devices[0].scanner.ready.raw"},
        {R"({"devices": [{"index": 1, "scanner": {"faults": [{"op": "erase", "kind": "fail"}]}}]})", "devices[0].scanner.faults[0].op"},
        {R"({"devices": [{"index": 1, "scanner": {"faults": [{"op": "read", "kind": "slow"}]}}]})", "devices[0].scanner.faults[0].kind"},
        {R"({"devices": [{"index": 1, "scanner": {"faults": [{"op": "read", "n": 0, "kind": "fail"}]}}]})", "devices[0].scanner.faults[0].n"},
        {R"({"service": {"state": "sleeping"}})", "service.state"},
        {R"({"service": {"startType": "sometimes"}})", "service.startType"},
        {R"({"service": {"exists": "yes"}})", "service.exists"},
        {R"({"service": {"pendingQueries": -2}})", "service.pendingQueries"},
        {R"({"imagingDevices": {"3": {}}})", "imagingDevices.3"},
        {R"({"imagingDevices": {"0003": {"FriendlyName": {"type": "REG_MULTI_SZ", "data": "x"}}}})", "imagingDevices.0003.FriendlyName.type"},
        {R"({"imagingDevices": {"0003": {"FriendlyName": {"type": "REG_SZ"}}}})", "imagingDevices.0003.FriendlyName"},
        {R"({"imagingDevices": {"0003": {"A": "x", "a": "y"}}})", "imagingDevices.0003.a"},
        {R"({"mutexes": [{"name": "X"}, {"name": "X"}]})", "mutexes[1].name"},
        {R"({"mutexes": [{}]})", "mutexes[0].name"},
        {R"({"resources": {"122": {"size": 1}}})", "resources.122"},
        {R"({"resources": {"121": {"size": 1, "missing": true}}})", "resources.121"},
        {R"({"failures": [{"call": "FormatHardDisk"}]})", "failures[0].call"},
        {R"({"failures": [{"call": "GetTickCount"}]})", "failures[0].call"},
        {R"({"failures": [{"call": "Sleep"}, {"call": "Sleep"}]})", "failures[1].call"},
        {R"({"failures": [{"call": "Sleep", "nth": 0}]})", "failures[0].nth"},
    };
    for (const BadCase& c : cases) {
        try {
            sim::ParseScenario(c.json, "bad.json");
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const sim::ScenarioError& e) {
            std::string msg = e.what();
            EXPECT_EQ(msg.rfind("bad.json: ", 0), 0u) << msg;
            EXPECT_NE(msg.find(std::string(": ") + c.field + ": "), std::string::npos)
                << "field " << c.field << " not named in: " << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << "one line: " << msg;
        }
    }
}

TEST(ScenarioLoader, MissingFileIsAClearError) {
    EXPECT_THROW(sim::LoadScenarioFile("/nonexistent/scenario.json"), sim::ScenarioError);
}

TEST(BuiltinScenarios, AllLoadAndHaveDescriptions) {
    ASSERT_NE(sim::FindBuiltinScenario(sim::DEFAULT_SCENARIO), nullptr);
    for (const sim::BuiltinScenario& b : sim::BuiltinScenarios()) {
        EXPECT_NO_THROW(sim::ParseScenario(b.json, b.name)) << b.name;
        EXPECT_GT(std::string(b.description).size(), 10u) << b.name;
    }
}

}  // namespace
