// The command blocks byte for byte, the reply fields at their offsets, and a whole update whose
// replies carry noise in every byte the updater does not interpret.
#include "device/protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/builtin_scenarios.h"
#include "sim/tool/runner.h"
#include "text/hex.h"

namespace {

std::string HexOf(const CommandBlock& c) {
    return HexBytes(c.bytes, sizeof c.bytes);
}

TEST(CommandBlockTest, BytesOnTheWire) {
    struct Row {
        const char* what;
        CommandBlock block;
        const char* hex;
    };
    const Row rows[] = {
        {"status query before the download", MakeStatusQuery(2), "20020000120002000000000000000000"},
        {"status query after the download", MakeStatusQuery(8), "20020000120008000000000000000000"},
        {"download of the smaller image", MakeDownloadCommand(4, 8388608), "200200002a0008000400000000008000"},
        {"download of the larger image", MakeDownloadCommand(0x1004, 13633428), "200200002a000800041000009407d000"},
        // Every width is honoured: the top bytes of both fields land where they belong, nothing spills.
        {"widest fields", MakeDownloadCommand(0xFFFF, 0xFFFFFFFF), "200200002a000800ffff0000ffffffff"},
        {"distinct bytes", MakeDownloadCommand(0xA1B2, 0x01020304), "200200002a000800b2a1000004030201"},
        {"empty image", MakeDownloadCommand(4, 0), "200200002a0008000400000000000000"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(HexOf(r.block), r.hex);
    }
}

TEST(CommandBlockTest, FieldsReadBack) {
    const CommandBlock c = MakeDownloadCommand(0x1004, 13633428);
    EXPECT_EQ(CommandSignature(c), COMMAND_SIGNATURE);
    EXPECT_EQ(CommandOpcode(c), OP_DOWNLOAD_FIRMWARE);
    EXPECT_EQ(CommandSubcode(c), SUBCODE_DOWNLOAD);
    EXPECT_EQ(CommandImageKind(c), 0x1004);
    EXPECT_EQ(CommandImageLength(c), 13633428u);
    const CommandBlock q = MakeStatusQuery(SUBCODE_AFTER_DOWNLOAD);
    EXPECT_EQ(CommandOpcode(q), OP_QUERY_STATUS);
    EXPECT_EQ(CommandSubcode(q), SUBCODE_AFTER_DOWNLOAD);
    EXPECT_EQ(CommandImageKind(q), 0);
    EXPECT_EQ(CommandImageLength(q), 0u);
}

// Offsets 6..9, 11..13 and 15..31 are not interpreted; offset 5 is the high byte of the state.
bool Interpreted(size_t offset) {
    return offset < 6 || offset == 10 || offset == 14;
}

TEST(DeviceReplyTest, FieldsAtTheirOffsetsWhateverTheOtherBytesHold) {
    struct Row {
        uint8_t noise;
        uint32_t result;
        uint16_t state;
        uint8_t percent;
        uint8_t model;
    };
    const Row rows[] = {
        {0x00, 0x7001, 7, 150, 8},
        {0xFF, 0x7001, 7, 150, 8},
        {0xFF, 0, 0, 0, 0},
        {0xA5, 0x12345678, 0x0600, 255, 9},
        {0x5A, 0xFFFFFFFF, 0xFFFF, 100, 0xFF},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.noise));
        DeviceReply reply;
        for (size_t i = 0; i < REPLY_LENGTH; ++i) reply.bytes[i] = Interpreted(i) ? 0 : r.noise;
        for (size_t i = 0; i < 4; ++i) reply.bytes[i] = static_cast<uint8_t>(r.result >> (8 * i));
        reply.bytes[4] = static_cast<uint8_t>(r.state);
        reply.bytes[5] = static_cast<uint8_t>(r.state >> 8);
        reply.bytes[10] = r.percent;
        reply.bytes[14] = r.model;
        EXPECT_EQ(ReplyResultCode(reply), r.result);
        EXPECT_EQ(ReplyDeviceState(reply), r.state);
        EXPECT_EQ(ReplyProgressPercent(reply), r.percent);
        EXPECT_EQ(ReplyModelCode(reply), r.model);
    }
}

// A whole update run twice, once with clean replies and once with the same fields in replies whose
// other bytes are all noise: the console output and everything the host saw must be identical.
TEST(DeviceReplyTest, UninterpretedBytesChangeNothingInAWholeUpdate) {
    struct Fields {
        uint32_t result;
        uint16_t state;
        uint8_t percent;
        uint8_t model;
    };
    struct Row {
        const char* what;
        std::vector<Fields> ready, download, progress;
    };
    const Row rows[] = {
        {"busy, then idle with model 8; burning; done",
         {{0, 2, 0, 1}, {0, 0, 0, 8}},
         {{0, 0, 0, 0}},
         {{0, 7, 10, 0}, {0, 7, 150, 0}, {0, 6, 0, 0}}},
        {"refused but free; burning; refused while burning",
         {{0x7001, 6, 0, 0}},
         {{0, 0, 0, 0}},
         {{0, 7, 40, 0}, {0x7001, 7, 50, 0}}},
        {"the download command refused", {{0, 0, 0, 0}}, {{0x7001, 0, 0, 0}}, {{0, 0, 0, 0}}},
        {"a failing state after the download", {{0, 0, 0, 9}}, {{0, 0, 0, 0}}, {{0, 7, 1, 0}, {0, 3, 0, 0}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string outputs[2];
        nlohmann::json reports[2];
        for (int noisy = 0; noisy < 2; ++noisy) {
            sim::Scenario s = sim::ParseScenario(sim::FindBuiltinScenario("update")->json, "update");
            auto fill = [&](const std::vector<Fields>& list) {
                std::vector<sim::ReplyBytes> out;
                for (size_t k = 0; k < list.size(); ++k) {
                    sim::ReplyBytes b = sim::MakeReply(list[k].result, list[k].state, list[k].percent, list[k].model);
                    for (size_t i = 0; i < b.size(); ++i)
                        if (noisy && !Interpreted(i))
                            b[i] = static_cast<uint8_t>(0xC3 ^ (i * 37 + k * 11));
                    out.push_back(b);
                }
                return out;
            };
            s.devices[0].scanner.ready = fill(r.ready);
            s.devices[0].scanner.download = fill(r.download);
            s.devices[0].scanner.progress = fill(r.progress);
            sim::RunResult run = sim::RunUpdater(s, sim::RunOptions{}, true);
            outputs[noisy] = run.output;
            reports[noisy] = run.report;
        }
        EXPECT_FALSE(outputs[0].empty());
        EXPECT_EQ(outputs[1], outputs[0]);
        EXPECT_EQ(reports[1], reports[0]);
    }
}

}  // namespace
