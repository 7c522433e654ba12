// Whole updates through the real entry point against the simulated host: for every final message,
// in both languages, the exact standard output and what the host saw (pauses, bytes on the wire,
// the image, the service, the locks and the handles left open).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/message_texts.h"
#include "app/messages.h"
#include "app/update_sequence.h"
#include "sim/builtin_scenarios.h"
#include "sim/sha256.h"
#include "sim/tool/runner.h"

namespace {

using nlohmann::json;

constexpr uint16_t LANGID_ENGLISH_US = 0x0409;
constexpr uint16_t LANGID_ZH_TW = 0x0404;

const std::string READY_QUERY = "20020000120002000000000000000000";
const std::string PROGRESS_QUERY = "20020000120008000000000000000000";
const std::string DOWNLOAD_121 = "200200002a0008000400000000008000";
const std::string DOWNLOAD_131 = "200200002a000800041000009407d000";
constexpr uint32_t SIZE_121 = 8388608;
constexpr uint32_t SIZE_131 = 13633428;
const char* const FIRST_LOCK = "Global\\TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410";
const char* const SECOND_LOCK = "{5B2E8D41-9C3A-4e07-B6F1-3D8A0C7E2F94}";

std::string Msg(MessageId id, uint16_t lang) {
    return std::string(MessageText(id, lang)) + "\n";
}

std::string Msgs(std::initializer_list<MessageId> ids, uint16_t lang) {
    std::string out;
    for (MessageId id : ids) out += Msg(id, lang);
    return out;
}

// The progress lines for these percentages, written with the formats as documented: the dot
// pattern 3, 6, 9, 6, 3, 6 repeating from the seventh line.
// `first` is the position of the first of them among all the lines of the burn.
std::string ProgressLines(const std::vector<int>& percents, uint16_t lang, size_t first = 0) {
    static const char* const kPattern[] = {"... (%d%%)      ", "...... (%d%%)   ", "......... (%d%%)",
                                           "...... (%d%%)   ", "... (%d%%)      ", "...... (%d%%)   "};
    std::string out;
    for (size_t i = 0; i < percents.size(); ++i) {
        char tail[64];
        std::snprintf(tail, sizeof tail, kPattern[(first + i) % 6], percents[i]);
        out += std::string("\r") + ProgressTitle(lang) + tail;
    }
    return out;
}

std::string Completion(uint16_t lang) {
    return std::string("\r") + CompletionTitle(lang) + "... (100%)        \n";
}

std::string Start(uint16_t lang) {
    return Msgs({MSG_DEVICE_FOUND, MSG_CLOSING_WIA}, lang);
}
std::string ImageStart(uint16_t lang) {
    return Msg(MSG_LOADING_FIRMWARE, lang) + "\n" + Msgs({MSG_CHECKING_FIRMWARE, MSG_SENDING_FIRMWARE}, lang);
}
std::string AfterWrite(uint16_t lang) {
    return Msgs({MSG_UPGRADE_WAIT, MSG_KEEP_POWER_STABLE}, lang);
}

const std::vector<int> kDefaultBurn = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90};

std::string FullUpdate(uint16_t lang) {
    return Start(lang) + ImageStart(lang) + AfterWrite(lang) + ProgressLines(kDefaultBurn, lang) + Completion(lang) +
           Msg(MSG_BURN_DONE, lang);
}

std::vector<uint32_t> Repeat(uint32_t ms, int n) {
    return std::vector<uint32_t>(n, ms);
}
std::vector<uint32_t> Cat(std::initializer_list<std::vector<uint32_t>> parts) {
    std::vector<uint32_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
std::vector<std::string> Commands(std::initializer_list<std::pair<std::string, int>> runs) {
    std::vector<std::string> out;
    for (const auto& [hex, n] : runs) out.insert(out.end(), n, hex);
    return out;
}

// The stop of a running service with the default one-read pending state: the first read shows
// stop pending with a 1000 ms hint, the next shows it stopped with no hint (a 1 ms pause).
const std::vector<uint32_t> kStopWait = {1000, 1};
const std::vector<uint32_t> kStartWait = {1000, 1};
const std::vector<uint32_t> kBurnPauses =
    Cat({{POST_WRITE_PAUSE_MS}, Repeat(PROGRESS_POLL_MS, 10), {COMPLETION_PAUSE_MS}});

const json kRestored = {{"state", "running"},
                        {"startType", "auto"},
                        {"stopRequests", 1},
                        {"startRequests", 1},
                        {"configChanges", {"disabled", "auto"}}};
// The service as the run found it: running, automatic, never asked anything.
const json kUntouched = {{"state", "running"},
                         {"startType", "auto"},
                         {"stopRequests", 0},
                         {"startRequests", 0},
                         {"configChanges", json::array()}};
const json kBothLocksReleased = {{FIRST_LOCK, {{"created", true}, {"ownedAtExit", false}}},
                                 {SECOND_LOCK, {{"created", true}, {"ownedAtExit", false}}}};

std::string ImageSha(int id, uint32_t size) {
    std::vector<uint8_t> bytes(size);
    for (uint32_t k = 0; k < size; ++k) bytes[k] = static_cast<uint8_t>((id + 7ull * k) % 251);
    return sim::Sha256Hex(bytes.data(), bytes.size());
}

struct Image {
    uint32_t length;
    int contentId;  // whose pattern the bytes follow
};

struct Case {
    const char* scenario;
    std::function<std::string(uint16_t)> output;
    std::vector<uint32_t> sleeps;
    std::vector<std::string> commands;
    std::vector<Image> images;
    json service;
    json mutexes;
    int mutexHandles;
    std::vector<int> messages;  // the catalogue ids printed, in order
    int keyWaits = 0;
    bool keptAwake = true;  // the power requests of an update were made
};

// The messages of a whole update, without its end.
const std::vector<int> kUpdateMessages = {MSG_DEVICE_FOUND,      MSG_CLOSING_WIA,      MSG_LOADING_FIRMWARE,
                                          MSG_CHECKING_FIRMWARE, MSG_SENDING_FIRMWARE, MSG_UPGRADE_WAIT,
                                          MSG_KEEP_POWER_STABLE};
std::vector<int> Ids(std::initializer_list<std::vector<int>> parts) {
    std::vector<int> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
const std::vector<int> kStart = {MSG_DEVICE_FOUND, MSG_CLOSING_WIA};
const std::vector<int> kDone = Ids({kUpdateMessages, {MSG_BURN_DONE}});

// Five busy polls, the fifth pause cut short by the event.
std::string BusyThenCancelled(uint16_t l) {
    std::string out = Start(l);
    for (int i = 0; i < 5; ++i) out += Msg(MSG_DEVICE_BUSY, l);
    return out + Msg(MSG_UPDATE_CANCELLED, l);
}
const std::vector<int> kBusyThenCancelled = Ids({kStart, std::vector<int>(5, MSG_DEVICE_BUSY), {MSG_UPDATE_CANCELLED}});

// The warning on a line of its own after the progress line it interrupts.
std::string Warning(uint16_t l) {
    return "\n" + Msg(MSG_DO_NOT_INTERRUPT, l);
}

std::vector<Case> Cases() {
    return {
        {"update",
         FullUpdate,
         Cat({kStopWait, kBurnPauses, kStartWait}),
         Commands({{READY_QUERY, 1}, {DOWNLOAD_121, 1}, {PROGRESS_QUERY, 11}}),
         {{SIZE_121, 121}},
         kRestored,
         kBothLocksReleased,
         2,
         kDone},
        {"ready-state-6",
         FullUpdate,
         Cat({kStopWait, kBurnPauses, kStartWait}),
         Commands({{READY_QUERY, 1}, {DOWNLOAD_121, 1}, {PROGRESS_QUERY, 11}}),
         {{SIZE_121, 121}},
         kRestored,
         json::object(),
         0,
         kDone},
        {"model-8",
         FullUpdate,
         Cat({kStopWait, kBurnPauses, kStartWait}),
         Commands({{READY_QUERY, 1}, {DOWNLOAD_131, 1}, {PROGRESS_QUERY, 11}}),
         {{SIZE_131, 131}},
         kRestored,
         kBothLocksReleased,
         2,
         kDone},
        {"busy-then-ready",
         [](uint16_t l) {
             return Start(l) + Msgs({MSG_DEVICE_BUSY, MSG_DEVICE_BUSY, MSG_DEVICE_BUSY}, l) + ImageStart(l) +
                    AfterWrite(l) + ProgressLines(kDefaultBurn, l) + Completion(l) + Msg(MSG_BURN_DONE, l);
         },
         Cat({kStopWait, Repeat(BUSY_RETRY_MS, 3), kBurnPauses, kStartWait}),
         Commands({{READY_QUERY, 4}, {DOWNLOAD_131, 1}, {PROGRESS_QUERY, 11}}),
         {{SIZE_131, 131}},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({kStart,
              {MSG_DEVICE_BUSY, MSG_DEVICE_BUSY, MSG_DEVICE_BUSY},
              std::vector<int>(kUpdateMessages.begin() + 2, kUpdateMessages.end()),
              {MSG_BURN_DONE}})},
        {"not-responding",
         [](uint16_t l) {
             std::string out = Start(l);
             for (int i = 0; i < 600; ++i) out += Msg(MSG_DEVICE_BUSY, l);
             return out + Msg(MSG_NOT_RESPONDED, l);
         },
         Cat({kStopWait, Repeat(BUSY_RETRY_MS, 600), kStartWait}),
         Commands({{READY_QUERY, 600}}),
         {},
         kRestored,
         json::object(),
         0,
         Ids({kStart, std::vector<int>(600, MSG_DEVICE_BUSY), {MSG_NOT_RESPONDED}})},
        {"status-error",
         [](uint16_t l) {
             return Start(l) + Msgs({MSG_USB_READ_ERROR, MSG_STATUS_ERROR}, l);
         },
         Cat({kStopWait, kStartWait}),
         Commands({{READY_QUERY, 1}}),
         {},
         kRestored,
         json::object(),
         0,
         Ids({kStart, {MSG_USB_READ_ERROR, MSG_STATUS_ERROR}})},
        {"not-registered",
         [](uint16_t l) { return Start(l) + Msg(MSG_SCANNER_NOT_REGISTERED, l); },
         Cat({kStopWait, kStartWait}),
         Commands({{READY_QUERY, 1}}),
         {},
         kRestored,
         json::object(),
         0,
         Ids({kStart, {MSG_SCANNER_NOT_REGISTERED}})},
        {"scan-app-busy",
         [](uint16_t l) { return Start(l) + Msg(MSG_SCAN_APP_BUSY, l); },
         Cat({kStopWait, Repeat(1000, 3), kStartWait}),
         Commands({{READY_QUERY, 1}}),
         {},
         kRestored,
         {{FIRST_LOCK, {{"created", false}, {"ownedAtExit", false}}}},
         0,
         Ids({kStart, {MSG_SCAN_APP_BUSY}})},
        {"second-app-busy",
         [](uint16_t l) { return Start(l) + Msg(MSG_SECOND_APP_BUSY, l); },
         Cat({kStopWait, Repeat(1000, 3), kStartWait}),
         Commands({{READY_QUERY, 1}}),
         {},
         kRestored,
         {{FIRST_LOCK, {{"created", true}, {"ownedAtExit", false}}},
          {SECOND_LOCK, {{"created", false}, {"ownedAtExit", false}}}},
         1,
         Ids({kStart, {MSG_SECOND_APP_BUSY}})},
        {"image-missing",
         [](uint16_t l) {
             return Start(l) + Msgs({MSG_LOADING_FIRMWARE, MSG_FIND_RESOURCE_ERROR}, l);
         },
         Cat({kStopWait, kStartWait}),
         Commands({{READY_QUERY, 1}}),
         {},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({kStart, {MSG_LOADING_FIRMWARE, MSG_FIND_RESOURCE_ERROR}})},
        {"image-load-fails",
         [](uint16_t l) {
             return Start(l) + Msgs({MSG_LOADING_FIRMWARE, MSG_LOAD_RESOURCE_ERROR}, l);
         },
         Cat({kStopWait, kStartWait}),
         Commands({{READY_QUERY, 1}}),
         {},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({kStart, {MSG_LOADING_FIRMWARE, MSG_LOAD_RESOURCE_ERROR}})},
        {"image-lock-fails",
         [](uint16_t l) {
             return Start(l) + Msgs({MSG_LOADING_FIRMWARE, MSG_LOCK_RESOURCE_ERROR}, l);
         },
         Cat({kStopWait, kStartWait}),
         Commands({{READY_QUERY, 1}}),
         {},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({kStart, {MSG_LOADING_FIRMWARE, MSG_LOCK_RESOURCE_ERROR}})},
        {"damaged-image",
         [](uint16_t l) {
             return Start(l) + Msg(MSG_LOADING_FIRMWARE, l) + "\n" +
                    Msgs({MSG_CHECKING_FIRMWARE, MSG_FIRMWARE_DAMAGED}, l);
         },
         Cat({kStopWait, kStartWait}),
         Commands({{READY_QUERY, 1}}),
         {},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({kStart, {MSG_LOADING_FIRMWARE, MSG_CHECKING_FIRMWARE, MSG_FIRMWARE_DAMAGED}})},
        // Another run updates the scanner: nothing of the update, not even the power request.
        {"second-updater",
         [](uint16_t l) {
             return Msgs({MSG_DEVICE_FOUND, MSG_ANOTHER_UPDATE_RUNNING}, l);
         },
         {},
         {},
         {},
         kUntouched,
         json::object(),
         0,
         {MSG_DEVICE_FOUND, MSG_ANOTHER_UPDATE_RUNNING},
         0,
         false},
        {"image-empty",
         [](uint16_t l) {
             return Start(l) + Msgs({MSG_LOADING_FIRMWARE, MSG_RESOURCE_EMPTY_ERROR}, l);
         },
         Cat({kStopWait, kStartWait}),
         Commands({{READY_QUERY, 1}}),
         {},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({kStart, {MSG_LOADING_FIRMWARE, MSG_RESOURCE_EMPTY_ERROR}})},
        {"command-refused",
         [](uint16_t l) { return Start(l) + ImageStart(l) + Msg(MSG_COMMAND_ERROR, l); },
         Cat({kStopWait, kStartWait}),
         Commands({{READY_QUERY, 1}, {DOWNLOAD_121, 1}}),
         {},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({std::vector<int>(kUpdateMessages.begin(), kUpdateMessages.begin() + 5), {MSG_COMMAND_ERROR}})},
        {"data-error",
         [](uint16_t l) {
             return Start(l) + ImageStart(l) + Msgs({MSG_USB_SIZE_MISMATCH, MSG_DATA_ERROR}, l);
         },
         Cat({kStopWait, kStartWait}),
         Commands({{READY_QUERY, 1}, {DOWNLOAD_121, 1}}),
         {{SIZE_121 - 1, 121}},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({std::vector<int>(kUpdateMessages.begin(), kUpdateMessages.begin() + 5),
              {MSG_USB_SIZE_MISMATCH, MSG_DATA_ERROR}})},
        {"burn-error",
         [](uint16_t l) {
             return Start(l) + ImageStart(l) + AfterWrite(l) + ProgressLines({10, 20}, l) + Msg(MSG_BURN_ERROR, l);
         },
         Cat({kStopWait, {POST_WRITE_PAUSE_MS}, Repeat(PROGRESS_POLL_MS, 2), kStartWait}),
         Commands({{READY_QUERY, 1}, {DOWNLOAD_121, 1}, {PROGRESS_QUERY, 3}}),
         {{SIZE_121, 121}},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({kUpdateMessages, {MSG_BURN_ERROR}})},
        {"service-refuses-stop",
         [](uint16_t l) { return Start(l) + Msg(MSG_WIA_CLOSE_FAILED, l); },
         {SERVICE_FAILURE_PAUSE_MS},
         {},
         {},
         {{"state", "running"},
          {"startType", "auto"},
          {"stopRequests", 1},
          {"startRequests", 0},
          {"configChanges", json::array()}},
         json::object(),
         0,
         Ids({kStart, {MSG_WIA_CLOSE_FAILED}})},
        {"service-stopped",
         FullUpdate,
         kBurnPauses,
         Commands({{READY_QUERY, 1}, {DOWNLOAD_121, 1}, {PROGRESS_QUERY, 11}}),
         {{SIZE_121, 121}},
         {{"state", "stopped"},
          {"startType", "demand"},
          {"stopRequests", 0},
          {"startRequests", 0},
          {"configChanges", json::array()}},
         kBothLocksReleased,
         2,
         kDone},
        {"cancelled-while-busy",
         BusyThenCancelled,
         Cat({kStopWait, Repeat(BUSY_RETRY_MS, 5), kStartWait}),
         Commands({{READY_QUERY, 5}}),
         {},
         kRestored,
         json::object(),
         0,
         kBusyThenCancelled},
        // The start is asked for and not watched: the service is still starting when the process ends.
        {"closed-while-busy",
         BusyThenCancelled,
         Cat({kStopWait, Repeat(BUSY_RETRY_MS, 5)}),
         Commands({{READY_QUERY, 5}}),
         {},
         {{"state", "startPending"},
          {"startType", "auto"},
          {"stopRequests", 1},
          {"startRequests", 1},
          {"configChanges", {"disabled", "auto"}}},
         json::object(),
         0,
         kBusyThenCancelled},
        {"interrupted-while-burning",
         [](uint16_t l) {
             return Start(l) + ImageStart(l) + AfterWrite(l) + ProgressLines({0, 10, 20}, l) + Warning(l) +
                    ProgressLines({30, 40, 50}, l, 3) + Warning(l) + ProgressLines({60, 70, 80, 90}, l, 6) +
                    Completion(l) + Msg(MSG_BURN_DONE, l);
         },
         Cat({kStopWait, kBurnPauses, kStartWait}),
         Commands({{READY_QUERY, 1}, {DOWNLOAD_121, 1}, {PROGRESS_QUERY, 11}}),
         {{SIZE_121, 121}},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({kUpdateMessages, {MSG_DO_NOT_INTERRUPT, MSG_DO_NOT_INTERRUPT, MSG_BURN_DONE}})},
        {"restore-fails",
         [](uint16_t l) { return FullUpdate(l) + Msg(MSG_WIA_RESTORE_FAILED, l); },
         Cat({kStopWait, kBurnPauses}),
         Commands({{READY_QUERY, 1}, {DOWNLOAD_121, 1}, {PROGRESS_QUERY, 11}}),
         {{SIZE_121, 121}},
         {{"state", "stopped"},
          {"startType", "disabled"},
          {"stopRequests", 1},
          {"startRequests", 0},
          {"configChanges", {"disabled", "auto"}}},
         kBothLocksReleased,
         2,
         Ids({kDone, {MSG_WIA_RESTORE_FAILED}})},
        {"no-admin-rights",
         [](uint16_t l) {
             return Start(l) + Msgs({MSG_ACCESS_DENIED, MSG_WIA_CLOSE_FAILED}, l);
         },
         {SERVICE_FAILURE_PAUSE_MS},
         {},
         {},
         kUntouched,
         json::object(),
         0,
         Ids({kStart, {MSG_ACCESS_DENIED, MSG_WIA_CLOSE_FAILED}})},
        {"double-clicked",
         [](uint16_t l) { return FullUpdate(l) + Msg(MSG_PRESS_ANY_KEY, l); },
         Cat({kStopWait, kBurnPauses, kStartWait}),
         Commands({{READY_QUERY, 1}, {DOWNLOAD_121, 1}, {PROGRESS_QUERY, 11}}),
         {{SIZE_121, 121}},
         kRestored,
         kBothLocksReleased,
         2,
         Ids({kDone, {MSG_PRESS_ANY_KEY}}),
         1},
    };
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

sim::RunResult RunBuiltin(const char* name, uint16_t langId) {
    const sim::BuiltinScenario* b = sim::FindBuiltinScenario(name);
    EXPECT_NE(b, nullptr) << name;
    sim::Scenario s = sim::ParseScenario(b->json, name);
    s.userLangId = langId;
    return sim::RunUpdater(s, sim::RunOptions{}, true);
}

class EveryOutcome : public testing::TestWithParam<uint16_t> {};

TEST_P(EveryOutcome, ExactOutputAndWhatTheHostSaw) {
    const uint16_t langId = GetParam();
    const uint16_t lang = langId == LANGID_ZH_TW ? LANGUAGE_CHINESE : LANGUAGE_ENGLISH;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.scenario);
        sim::RunResult r = RunBuiltin(c.scenario, langId);
        const json& rep = r.report;
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output, c.output(lang));
        EXPECT_EQ(rep["sleeps"].get<std::vector<uint32_t>>(), c.sleeps);
        ASSERT_TRUE(rep["device"].is_object()) << rep.dump();
        std::vector<std::string> commands;
        for (const json& cmd : rep["device"]["commands"]) commands.push_back(Lower(cmd.get<std::string>()));
        EXPECT_EQ(commands, c.commands);
        ASSERT_EQ(rep["device"]["images"].size(), c.images.size());
        for (size_t i = 0; i < c.images.size(); ++i) {
            EXPECT_EQ(rep["device"]["images"][i]["length"].get<uint32_t>(), c.images[i].length);
            EXPECT_EQ(Lower(rep["device"]["images"][i]["sha256"].get<std::string>()),
                      ImageSha(c.images[i].contentId, c.images[i].length));
        }
        EXPECT_EQ(rep["service"], c.service);
        EXPECT_EQ(rep["mutexes"], c.mutexes);
        const json expectedHandles = {{"device", 1},  {"event", 0}, {"manager", 0},
                                      {"service", 0}, {"key", 0},   {"mutex", c.mutexHandles}};
        EXPECT_EQ(rep["openHandles"], expectedHandles);
        EXPECT_EQ(rep["messages"].get<std::vector<int>>(), c.messages);
        // Awake for the whole update and back to normal after it, whatever its end.
        EXPECT_EQ(rep["power"], c.keptAwake ? json({"0x80000001", "0x80000000"}) : json::array());
        EXPECT_EQ(rep["keyWaits"], c.keyWaits);
        EXPECT_EQ(rep["ended"], "return");
    }
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, EveryOutcome, testing::Values(LANGID_ENGLISH_US, LANGID_ZH_TW));

TEST(ReadyWait, SurvivesTheTickCountWrap) {
    const sim::BuiltinScenario* b = sim::FindBuiltinScenario("not-responding");
    sim::Scenario s = sim::ParseScenario(b->json, "wrap");
    // The wait starts 2 s (after the service's 1001 ms) before the 32-bit tick count wraps.
    s.tickStart = 0xFFFFFFFFu - 3000;
    sim::RunResult r = sim::RunUpdater(s, sim::RunOptions{}, true);
    size_t busy = 0;
    for (size_t at = 0; (at = r.output.find(Msg(MSG_DEVICE_BUSY, LANGUAGE_ENGLISH), at)) != std::string::npos; ++at)
        ++busy;
    EXPECT_EQ(busy, 600u);
    EXPECT_NE(r.output.find(Msg(MSG_NOT_RESPONDED, LANGUAGE_ENGLISH)), std::string::npos);
}

TEST(Progress, PercentagesAreShownAsTheyComeAndTheDotsCycle) {
    sim::Scenario s = sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "percent");
    s.devices[0].scanner.progress.clear();
    const std::vector<int> percents = {5, 5, 5, 150, 255, 0, 7, 100};
    for (int p : percents) s.devices[0].scanner.progress.push_back(sim::MakeReply(0, 7, static_cast<uint8_t>(p), 0));
    s.devices[0].scanner.progress.push_back(sim::MakeReply(0, 6, 0, 0));
    sim::RunResult r = sim::RunUpdater(s, sim::RunOptions{}, true);
    const std::string expected = ProgressLines(percents, LANGUAGE_ENGLISH) + Completion(LANGUAGE_ENGLISH);
    EXPECT_NE(r.output.find(expected), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\rBurning firmware... (5%)      \rBurning firmware...... (5%)   "
                            "\rBurning firmware......... (5%)"),
              std::string::npos);
}

TEST(Progress, RefusedReplyIsAFailureWhateverTheState) {
    sim::Scenario s = sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "refused");
    s.devices[0].scanner.progress = {sim::MakeReply(0, 7, 10, 0), sim::MakeReply(0x7001, 7, 20, 0)};
    sim::RunResult r = sim::RunUpdater(s, sim::RunOptions{}, true);
    const std::string tail = ProgressLines({10}, LANGUAGE_ENGLISH) + Msg(MSG_BURN_ERROR, LANGUAGE_ENGLISH);
    ASSERT_GE(r.output.size(), tail.size());
    EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail);
}

TEST(ReadyWait, RefusedResultIsIgnoredBeforeTheDownload) {
    sim::Scenario s = sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "refused-ready");
    s.devices[0].scanner.ready = {sim::MakeReply(0x7001, 0, 0, 0)};
    sim::RunResult r = sim::RunUpdater(s, sim::RunOptions{}, true);
    EXPECT_EQ(r.output, FullUpdate(LANGUAGE_ENGLISH));
}

TEST(ReadyWait, TheModelOfTheReplyThatEndsTheWaitCounts) {
    sim::Scenario s = sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "model");
    s.devices[0].scanner.ready = {sim::MakeReply(0, 2, 0, 8), sim::MakeReply(0, 0, 0, 9)};
    sim::RunResult r = sim::RunUpdater(s, sim::RunOptions{}, true);
    EXPECT_EQ(Lower(r.report["device"]["commands"][2].get<std::string>()), DOWNLOAD_121);
}

// Only the image about to be sent is checked, against its own digest; a damaged one never reaches
// the scanner, and the service and the locks are given back as after any other failed load.
TEST(ImageCheck, TheImageToBeSentIsCheckedAgainstItsOwnDigest) {
    const struct {
        const char* what;
        int damagedId;
        std::optional<uint32_t> size;
        uint8_t model;
        std::optional<MessageId> failure;  // none: the whole update
    } cases[] = {
        {"121 damaged, 121 sent", 121, std::nullopt, 0, MSG_FIRMWARE_DAMAGED},
        {"131 damaged, 131 sent", 131, std::nullopt, 8, MSG_FIRMWARE_DAMAGED},
        {"131 damaged, 121 sent", 131, std::nullopt, 0, std::nullopt},
        {"a 16-byte 121 damaged", 121, 16, 0, MSG_FIRMWARE_DAMAGED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Scenario s = sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "damaged");
        s.devices[0].scanner.ready = {sim::MakeReply(0, 0, 0, c.model)};
        s.resources[c.damagedId].damaged = true;
        if (c.size.has_value())
            s.resources[c.damagedId].size = *c.size;
        const sim::RunResult r = sim::RunUpdater(s, sim::RunOptions{}, true);
        if (!c.failure.has_value()) {
            EXPECT_EQ(r.output, FullUpdate(LANGUAGE_ENGLISH));
            continue;
        }
        const std::string end = Msg(*c.failure, LANGUAGE_ENGLISH);
        ASSERT_GE(r.output.size(), end.size());
        EXPECT_EQ(r.output.substr(r.output.size() - end.size()), end);
        EXPECT_EQ(r.report["device"]["commands"], json({READY_QUERY}));
        EXPECT_TRUE(r.report["device"]["images"].empty());
        EXPECT_EQ(r.report["service"], kRestored);
        EXPECT_EQ(r.report["mutexes"], kBothLocksReleased);
    }
}

// What another run's guard, a look-alike of it and a user without rights make of a run.
TEST(UpdateGuard, WhatARunMeetsOnThePC) {
    const std::string squatter = std::string(R"({"name": ")") +
                                 "Global\\\\scanfw-update-guard-{239B3856-0074-486A-"
                                 "9C1A-93BBFA4AD465}" +
                                 R"("})";
    const struct {
        const char* what;
        const char* builtin;
        std::string mutexes;  // JSON list, or empty
        bool administrator;
        std::function<std::string(uint16_t)> output;
        int keyWaits;
    } cases[] = {
        // A mutex of the guard's name that a user made guards nothing: the update runs.
        {"a look-alike", "update", "[" + squatter + "]", true, FullUpdate, 0},
        // The guard is the administrators' alone: a user meets the refusals of today.
        {"a user while an update runs", "no-admin-rights", "", false,
         [](uint16_t l) {
             return Start(l) + Msgs({MSG_ACCESS_DENIED, MSG_WIA_CLOSE_FAILED}, l);
         },
         0},
        // A window of its own still waits for a key after saying why it did nothing.
        {"double-clicked while an update runs", "second-updater", "", true,
         [](uint16_t l) {
             return Msgs({MSG_DEVICE_FOUND, MSG_ANOTHER_UPDATE_RUNNING, MSG_PRESS_ANY_KEY}, l);
         },
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        nlohmann::json scenario = json::parse(sim::FindBuiltinScenario(c.builtin)->json);
        if (!c.mutexes.empty())
            scenario["mutexes"] = json::parse(c.mutexes);
        if (c.keyWaits != 0)
            scenario["console"] = {{"processes", 1}};
        if (!c.administrator)
            scenario["otherUpdater"] = true;
        sim::RunOptions options;
        options.administrator = c.administrator;
        const sim::RunResult r = sim::RunUpdater(sim::ParseScenario(scenario.dump(), c.what), options, true);
        EXPECT_EQ(r.output, c.output(LANGUAGE_ENGLISH));
        EXPECT_EQ(r.report["keyWaits"], c.keyWaits);
        EXPECT_EQ(r.report["openHandles"]["mutex"], c.builtin == std::string("update") ? 2 : 0);
    }
}

// Held from before the first step of the update until after its last, the restore included.
TEST(UpdateGuard, SpansTheWholeUpdate) {
    sim::RunOptions options;
    options.journal = true;
    const sim::RunResult r =
        sim::RunUpdater(sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "span"), options, true);
    std::vector<std::string> calls;
    for (const sim::JournalEntry& e : r.journal)
        if (e.thread == 0)
            calls.push_back(e.call);
    auto first = [&](const char* call) { return std::find(calls.begin(), calls.end(), call) - calls.begin(); };
    auto last = [&](const char* call) { return std::find(calls.rbegin(), calls.rend(), call).base() - calls.begin(); };
    ASSERT_LT(last("DuplicateHandle"), static_cast<ptrdiff_t>(calls.size()));
    EXPECT_LT(first("CreateMutexExA"), first("SetThreadExecutionState"));
    EXPECT_GT(first("DuplicateHandle"), last("SetThreadExecutionState"));
    EXPECT_GT(first("DuplicateHandle"), last("StartServiceA"));
    EXPECT_EQ(r.report["openHandles"]["mutex"], 2);  // the two locks, whose mutexes live on
}

}  // namespace
