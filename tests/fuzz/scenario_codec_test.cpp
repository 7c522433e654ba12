// The fuzzer's byte form of scenarios: the seeds stand for their scenarios exactly, any
// bytes at all give a scenario within the limits that keep a run short, and a scenario beyond
// them is refused rather than silently changed.
#include "scenario_codec.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/builtin_scenarios.h"
#include "sim/tool/runner.h"

namespace {

constexpr int RANDOM_INPUTS = 3000;
constexpr size_t MAX_RANDOM_INPUT_BYTES = 700;
constexpr uint32_t RANDOM_SEED = 20240607;
constexpr uint16_t STATE_BURNING = 7;
constexpr uint32_t RESULT_REFUSED = 0x7001;

sim::RunOptions Options() {
    sim::RunOptions o;
    o.hashImages = false;
    return o;
}

uint32_t Le(const sim::ReplyBytes& r, size_t offset, size_t width) {
    uint32_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= static_cast<uint32_t>(r[offset + i]) << (8 * i);
    return v;
}

// Every rule a decoded scenario keeps, as a list of the broken ones.
std::vector<std::string> BrokenLimits(const sim::Scenario& s) {
    std::vector<std::string> broken;
    auto expect = [&](bool ok, const std::string& what) {
        if (!ok)
            broken.push_back(what);
    };
    expect(s.args.size() <= fuzz::MAX_ARGS, "args");
    for (const std::string& a : s.args) expect(a.size() <= fuzz::MAX_ARG_BYTES, "arg length");
    expect(s.devices.size() <= fuzz::MAX_DEVICES, "devices");
    std::set<int> indexes;
    for (const sim::DeviceSpec& d : s.devices) {
        expect(indexes.insert(d.index).second, "device index repeated");
        const sim::ScannerSpec& sc = d.scanner;
        expect(!sc.ready.empty() && sc.ready.size() <= fuzz::MAX_READY_REPLIES, "ready replies");
        expect(!sc.download.empty() && sc.download.size() <= fuzz::MAX_DOWNLOAD_REPLIES, "download replies");
        expect(!sc.progress.empty() && sc.progress.size() <= fuzz::MAX_PROGRESS_REPLIES, "progress replies");
        expect(sc.faults.size() <= fuzz::MAX_FAULTS, "faults");
        const sim::ReplyBytes& last = sc.progress.back();
        expect(Le(last, 4, 2) != STATE_BURNING || Le(last, 0, 4) == RESULT_REFUSED, "burns for ever");
    }
    expect(s.imagingDevices.size() <= fuzz::MAX_INSTANCES + 1, "instances");
    for (const auto& [number, instance] : s.imagingDevices) {
        expect(number >= 0 && number <= 9999, "instance number");
        expect(instance.values.size() <= fuzz::MAX_VALUES, "values");
    }
    std::set<std::string> mutexNames;
    for (const sim::MutexSpec& m : s.mutexes) expect(!m.name.empty() && mutexNames.insert(m.name).second, "mutex name");
    for (int id : {121, 131}) {
        const std::vector<uint32_t>& sizes = fuzz::ImageSizes(id);
        expect(std::find(sizes.begin(), sizes.end(), s.resources.at(id).size) != sizes.end(), "image size");
        expect(!s.resources.at(id).damaged || s.resources.at(id).mode == sim::ResourceMode::Present,
               "a damaged image that is not there");
    }
    expect(!s.otherUpdater || mutexNames.count(sim::OTHER_UPDATER_GUARD_NAME) == 0, "a mutex of the guard's name");
    std::set<std::string> calls;
    for (const sim::FailureSpec& f : s.failures) {
        expect(calls.insert(f.call).second, "failure call repeated");
        expect(sim::IsFailableCall(f.call), "failure call " + f.call);
        expect(f.nth >= 1, "failure nth");
        expect(f.call != "Sleep" || (f.count >= 1 && f.count <= fuzz::MAX_SLEEP_FAILURES), "Sleep failing for good");
    }
    return broken;
}

// The scenarios the seeds are made of: the built-in ones and the scenario files of the seeds.
std::vector<sim::Scenario> SeedScenarios() {
    std::vector<sim::Scenario> scenarios;
    for (const sim::BuiltinScenario& b : sim::BuiltinScenarios())
        scenarios.push_back(sim::ParseScenario(b.json, b.name));
    for (const auto& entry : std::filesystem::directory_iterator(SCENARIO_SEEDS_DIR))
        scenarios.push_back(sim::LoadScenarioFile(entry.path().string()));
    return scenarios;
}

TEST(ScenarioCodec, EverySeedRunsAsItsScenario) {
    for (const sim::Scenario& original : SeedScenarios()) {
        SCOPED_TRACE(original.source);
        const std::vector<uint8_t> bytes = fuzz::EncodeScenario(original);
        const sim::Scenario decoded = fuzz::DecodeScenario(bytes.data(), bytes.size());
        const sim::RunResult want = sim::RunUpdater(original, Options(), true);
        const sim::RunResult got = sim::RunUpdater(decoded, Options(), true);
        EXPECT_EQ(got.output, want.output);
        EXPECT_EQ(got.report, want.report);
        EXPECT_EQ(fuzz::EncodeScenario(decoded), bytes);
    }
}

TEST(ScenarioCodec, AnyBytesGiveAScenarioWithinTheLimits) {
    std::mt19937 random(RANDOM_SEED);
    std::uniform_int_distribution<size_t> length(0, MAX_RANDOM_INPUT_BYTES);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < RANDOM_INPUTS; ++i) {
        std::vector<uint8_t> input(length(random));
        for (uint8_t& b : input) b = static_cast<uint8_t>(byte(random));
        const sim::Scenario s = fuzz::DecodeScenario(input.data(), input.size());
        for (const std::string& broken : BrokenLimits(s)) ADD_FAILURE() << "input " << i << ": " << broken;
        // What was decoded can be encoded, and stands for itself.
        const std::vector<uint8_t> again = fuzz::EncodeScenario(s);
        const sim::Scenario s2 = fuzz::DecodeScenario(again.data(), again.size());
        EXPECT_EQ(fuzz::EncodeScenario(s2), again) << "input " << i;
    }
}

TEST(ScenarioCodec, NoBytesGiveAnEmptyMachine) {
    const sim::Scenario s = fuzz::DecodeScenario(nullptr, 0);
    EXPECT_TRUE(s.devices.empty());
    EXPECT_TRUE(s.failures.empty());
    EXPECT_EQ(s.resources.at(121).size, sim::IMAGE_121_SIZE);
    EXPECT_EQ(s.resources.at(131).size, sim::IMAGE_131_SIZE);
}

TEST(ScenarioCodec, ScannersThatWouldBurnForEverStopAfterTheirList) {
    sim::Scenario s = sim::ParseScenario(R"({"devices": [{"index": 0, "scanner": {"progress": {"state": 7}}}]})", "t");
    const std::vector<uint8_t> bytes = fuzz::EncodeScenario(s);
    const sim::Scenario decoded = fuzz::DecodeScenario(bytes.data(), bytes.size());
    EXPECT_EQ(decoded.devices[0].scanner.progress.back(), sim::MakeReply(0, 0, 0, 0));
}

TEST(ScenarioCodec, ScenariosBeyondTheLimitsAreRefused) {
    const sim::Scenario base = sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "update");
    const std::vector<std::pair<const char*, std::function<void(sim::Scenario&)>>> cases = {
        {"nine ready replies", [](sim::Scenario& s) { s.devices[0].scanner.ready.resize(9); }},
        {"five arguments", [](sim::Scenario& s) { s.args.resize(5); }},
        {"an argument of 256 bytes", [](sim::Scenario& s) { s.args = {std::string(256, 'a')}; }},
        {"an image of another size", [](sim::Scenario& s) { s.resources[121].size = 1234; }},
        {"a fault at the 256th transfer",
         [](sim::Scenario& s) {
             s.devices[0].scanner.faults = {{true, 256}};
         }},
        {"a pending state of 300 reads", [](sim::Scenario& s) { s.service.pendingQueries = 300; }},
        {"a registry value of 513 bytes",
         [](sim::Scenario& s) { s.imagingDevices[0].values[0].data.assign(513, 'x'); }},
    };
    for (const auto& [name, change] : cases) {
        sim::Scenario s = base;
        change(s);
        EXPECT_THROW(fuzz::EncodeScenario(s), std::invalid_argument) << name;
    }
}

}  // namespace
