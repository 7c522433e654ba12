// The scanner channel against the simulated host: every row of its failure table in both languages,
// the silent guards, the arguments it hands to Windows, and no event left behind on any path.
#include "device/channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "device_harness.h"
#include "sim/sha256.h"

namespace {

using devtest::BootAndOpen;
using devtest::Calls;
using devtest::Line;
using devtest::OpenHandles;

constexpr uint16_t LANGUAGES[] = {LANGUAGE_ENGLISH, LANGUAGE_CHINESE};

// The platform calls one channel call made.
struct Traffic {
    uint32_t writes, waits, results, reads;
};

Traffic Made() {
    return {Calls("WriteFile"), Calls("WaitForSingleObject"), Calls("GetOverlappedResult"), Calls("ReadFile")};
}

void ExpectTraffic(const Traffic& want) {
    const Traffic got = Made();
    EXPECT_EQ(got.writes, want.writes) << "WriteFile";
    EXPECT_EQ(got.waits, want.waits) << "WaitForSingleObject";
    EXPECT_EQ(got.results, want.results) << "GetOverlappedResult";
    EXPECT_EQ(got.reads, want.reads) << "ReadFile";
}

// A failure made either by the scanner (a transfer fault) or by Windows (a failing call).
struct FailureRow {
    const char* what;
    std::string scenario;
    MessageId message;
    Traffic traffic;  // the calls made up to and including the one that failed
};

// A scanner at usbscan0 whose first write or read has the fault `kind`.
std::string Fault(const char* op, const char* kind) {
    return std::string(R"({"devices": [{"index": 0, "scanner": {"faults": [{"op": ")") + op +
           R"(", "n": 1, "kind": ")" + kind + R"("}]}}]})";
}

// A scanner at usbscan0, and the `nth` call of the Windows function `call` fails.
std::string Failing(const char* call, int nth) {
    return std::string(R"({"devices": [{"index": 0}], "failures": [{"call": ")") + call + R"(", "nth": )" +
           std::to_string(nth) + "}]}";
}

// The checks of ExchangeCommand in their order, each made to fail once.
const std::vector<FailureRow> kExchangeFailures = {
    {"write call fails", Fault("write", "fail"), MSG_USB_WRITE_ERROR, {1, 0, 0, 0}},
    {"WriteFile fails", Failing("WriteFile", 1), MSG_USB_WRITE_ERROR, {1, 0, 0, 0}},
    {"no signal after the write", Fault("write", "noSignal"), MSG_USB_TIMEOUT, {1, 1, 0, 0}},
    {"wait after the write fails", Failing("WaitForSingleObject", 1), MSG_USB_TIMEOUT, {1, 1, 0, 0}},
    {"result of the write fails", Fault("write", "resultFails"), MSG_USB_RESULT_ERROR, {1, 1, 1, 0}},
    {"GetOverlappedResult of the write fails", Failing("GetOverlappedResult", 1), MSG_USB_RESULT_ERROR, {1, 1, 1, 0}},
    {"write moves 15 bytes", Fault("write", "short"), MSG_USB_SIZE_MISMATCH, {1, 1, 1, 0}},
    {"write reports 17 bytes", Fault("write", "long"), MSG_USB_SIZE_MISMATCH, {1, 1, 1, 0}},
    {"read call fails", Fault("read", "fail"), MSG_USB_READ_ERROR, {1, 1, 1, 1}},
    {"ReadFile fails", Failing("ReadFile", 1), MSG_USB_READ_ERROR, {1, 1, 1, 1}},
    {"no signal after the read", Fault("read", "noSignal"), MSG_USB_TIMEOUT, {1, 2, 1, 1}},
    {"wait after the read fails", Failing("WaitForSingleObject", 2), MSG_USB_TIMEOUT, {1, 2, 1, 1}},
    {"result of the read fails", Fault("read", "resultFails"), MSG_USB_RESULT_ERROR, {1, 2, 2, 1}},
    {"GetOverlappedResult of the read fails", Failing("GetOverlappedResult", 2), MSG_USB_RESULT_ERROR, {1, 2, 2, 1}},
    {"read moves 31 bytes", Fault("read", "short"), MSG_USB_SIZE_MISMATCH, {1, 2, 2, 1}},
    {"read reports 33 bytes", Fault("read", "long"), MSG_USB_SIZE_MISMATCH, {1, 2, 2, 1}},
};

// The checks of WriteDeviceData: the same as the first half of an exchange, with nothing after.
const std::vector<FailureRow> kWriteFailures = {
    {"write call fails", Fault("write", "fail"), MSG_USB_WRITE_ERROR, {1, 0, 0, 0}},
    {"WriteFile fails", Failing("WriteFile", 1), MSG_USB_WRITE_ERROR, {1, 0, 0, 0}},
    {"no signal after the write", Fault("write", "noSignal"), MSG_USB_TIMEOUT, {1, 1, 0, 0}},
    {"wait fails", Failing("WaitForSingleObject", 1), MSG_USB_TIMEOUT, {1, 1, 0, 0}},
    {"result fails", Fault("write", "resultFails"), MSG_USB_RESULT_ERROR, {1, 1, 1, 0}},
    {"GetOverlappedResult fails", Failing("GetOverlappedResult", 1), MSG_USB_RESULT_ERROR, {1, 1, 1, 0}},
    {"one byte fewer than the length", Fault("write", "short"), MSG_USB_SIZE_MISMATCH, {1, 1, 1, 0}},
    {"one byte more than the length", Fault("write", "long"), MSG_USB_SIZE_MISMATCH, {1, 1, 1, 0}},
};

// After the failed call: exactly one message, its event created once and closed once, the device
// handle untouched, and the next call on the same handle works and says nothing.
template <typename Call>
void CheckFailure(const FailureRow& r, uint16_t language, Call call) {
    SCOPED_TRACE(std::string(r.what) + (language == LANGUAGE_ENGLISH ? ", English" : ", Chinese"));
    devtest::LanguageScope scope(language);
    HANDLE device = BootAndOpen(r.scenario);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    testing::internal::CaptureStdout();
    const bool ok = call(device);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Line(r.message, language));
    EXPECT_FALSE(ok);
    ExpectTraffic(r.traffic);
    EXPECT_EQ(Calls("CreateEventA"), 1u);
    EXPECT_EQ(Calls("CloseHandle"), 1u);
    EXPECT_EQ(OpenHandles("event"), 0);
    EXPECT_EQ(OpenHandles("device"), 1);

    testing::internal::CaptureStdout();
    EXPECT_TRUE(call(device));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(OpenHandles("event"), 0);
}

TEST(ExchangeCommandTest, EachFailurePrintsItsMessageAndStops) {
    const CommandBlock query = MakeStatusQuery(SUBCODE_BEFORE_DOWNLOAD);
    DeviceReply reply{};
    for (uint16_t language : LANGUAGES)
        for (const FailureRow& r : kExchangeFailures)
            CheckFailure(r, language, [&](HANDLE d) { return ExchangeCommand(d, query, reply); });
}

TEST(WriteDeviceDataTest, EachFailurePrintsItsMessageAndStops) {
    const std::vector<uint8_t> data(1000, 0x5A);
    for (uint16_t language : LANGUAGES)
        for (const FailureRow& r : kWriteFailures)
            CheckFailure(r, language,
                         [&](HANDLE d) { return WriteDeviceData(d, data.data(), static_cast<uint32_t>(data.size())); });
}

// An event that is never signalled costs exactly the channel's 1000 ms wait, once.
TEST(ExchangeCommandTest, TimeoutIsTheWholeTransferWait) {
    const CommandBlock query = MakeStatusQuery(SUBCODE_BEFORE_DOWNLOAD);
    DeviceReply reply{};
    for (const char* op : {"write", "read"}) {
        SCOPED_TRACE(op);
        HANDLE device = BootAndOpen(Fault(op, "noSignal"));
        testing::internal::CaptureStdout();
        EXPECT_FALSE(ExchangeCommand(device, query, reply));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(sim::M().clock.ElapsedMs(), TRANSFER_WAIT_MS);
    }
}

TEST(ChannelGuardTest, NoDeviceOrNoEventFailsSilently) {
    const CommandBlock query = MakeStatusQuery(SUBCODE_BEFORE_DOWNLOAD);
    const uint8_t data[4] = {1, 2, 3, 4};
    struct Row {
        const char* what;
        const char* scenario;
        bool useOpenedDevice;  // false: the handle below instead
        HANDLE device;
        uint32_t eventsAsked;
    };
    const Row rows[] = {
        {"INVALID_HANDLE_VALUE", R"({"devices": [{"index": 0}]})", false, INVALID_HANDLE_VALUE, 0},
        {"null device", R"({"devices": [{"index": 0}]})", false, nullptr, 0},
        {"event cannot be created", R"({"devices": [{"index": 0}], "failures": [{"call": "CreateEventA"}]})", true,
         nullptr, 1},
    };
    for (uint16_t language : LANGUAGES) {
        devtest::LanguageScope scope(language);
        for (const Row& r : rows) {
            for (int which = 0; which < 2; ++which) {
                SCOPED_TRACE(std::string(r.what) + (which == 0 ? ", exchange" : ", data write"));
                HANDLE opened = BootAndOpen(r.scenario);
                HANDLE device = r.useOpenedDevice ? opened : r.device;
                DeviceReply reply{};
                testing::internal::CaptureStdout();
                const bool ok =
                    which == 0 ? ExchangeCommand(device, query, reply) : WriteDeviceData(device, data, sizeof data);
                EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
                EXPECT_FALSE(ok);
                EXPECT_EQ(Calls("CreateEventA"), r.eventsAsked);
                ExpectTraffic({0, 0, 0, 0});
                EXPECT_EQ(Calls("CloseHandle"), 0u);
                EXPECT_EQ(OpenHandles("event"), 0);
                EXPECT_EQ(OpenHandles("device"), 1);
                EXPECT_TRUE(devtest::DeviceReport()["commands"].empty());
            }
        }
    }
}

TEST(ExchangeCommandTest, SendsTheBlockAndFillsTheWholeReply) {
    const std::string raw = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
    HANDLE device = BootAndOpen(R"({"devices": [{"index": 0, "scanner": {"download": {"raw": ")" + raw + R"("}}}]})");
    const CommandBlock command = MakeDownloadCommand(0x1004, 13633428);
    DeviceReply reply;
    std::memset(reply.bytes, 0xEE, sizeof reply.bytes);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ExchangeCommand(device, command, reply));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    for (size_t i = 0; i < REPLY_LENGTH; ++i) EXPECT_EQ(reply.bytes[i], i) << i;
    EXPECT_EQ(devtest::DeviceReport()["commands"], nlohmann::json::array({"200200002a000800041000009407d000"}));
}

// The largest image goes out in one write, untouched.
TEST(WriteDeviceDataTest, WholeImageInOneWrite) {
    std::vector<uint8_t> image(sim::IMAGE_131_SIZE);
    for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k * 31 + (k >> 13));
    HANDLE device = BootAndOpen(R"({"devices": [{"index": 0}]})");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(WriteDeviceData(device, image.data(), static_cast<uint32_t>(image.size())));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ExpectTraffic({1, 1, 1, 0});
    const nlohmann::json expected = nlohmann::json::array(
        {{{"length", sim::IMAGE_131_SIZE}, {"sha256", sim::Sha256Hex(image.data(), image.size())}}});
    EXPECT_EQ(devtest::DeviceReport()["images"], expected);
    EXPECT_EQ(OpenHandles("event"), 0);
}

// Hundreds of polls while the scanner burns must not leave a handle behind.
TEST(ExchangeCommandTest, TenThousandExchangesLeaveNoEventOpen) {
    constexpr uint32_t EXCHANGES = 10000;
    HANDLE device = BootAndOpen(R"({"devices": [{"index": 0}]})", sim::RunOptions{});
    const CommandBlock query = MakeStatusQuery(SUBCODE_AFTER_DOWNLOAD);
    DeviceReply reply{};
    uint32_t succeeded = 0;
    for (uint32_t i = 0; i < EXCHANGES; ++i) succeeded += ExchangeCommand(device, query, reply) ? 1 : 0;
    EXPECT_EQ(succeeded, EXCHANGES);
    EXPECT_EQ(Calls("CreateEventA"), EXCHANGES);
    EXPECT_EQ(Calls("CloseHandle"), EXCHANGES);
    EXPECT_EQ(OpenHandles("event"), 0);
    EXPECT_EQ(OpenHandles("device"), 1);
    // The default burn ends with state 0 and 100%, repeated from the eleventh reply on.
    EXPECT_EQ(ReplyDeviceState(reply), 0);
    EXPECT_EQ(ReplyProgressPercent(reply), 100);
}

// The exact arguments, seen through --trace: an unnamed auto-reset event, not signalled; the write
// and read on one OVERLAPPED with that event; each wait for 1000 ms; each result asked with waiting.
TEST(ExchangeCommandTest, CallsWindowsWithTheDocumentedArguments) {
    sim::RunOptions options;
    options.trace = true;
    HANDLE device = BootAndOpen(R"({"devices": [{"index": 0}]})", options);
    const CommandBlock query = MakeStatusQuery(SUBCODE_BEFORE_DOWNLOAD);
    DeviceReply reply{};
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ExchangeCommand(device, query, reply));
    const std::string trace = testing::internal::GetCapturedStderr();

    // The lines without their "[t=...] " stamps.
    std::vector<std::string> lines;
    const std::regex stamp(R"(^\[t=\d+\] (.*)$)");
    std::smatch m;
    for (size_t at = 0, next; at < trace.size(); at = next + 1) {
        next = trace.find('\n', at);
        if (next == std::string::npos)
            next = trace.size();
        const std::string line = trace.substr(at, next - at);
        if (std::regex_match(line, m, stamp))
            lines.push_back(m[1]);
    }
    ASSERT_EQ(lines.size(), 8u) << trace;
    // Handles and buffers by kind and number in the order they appear: the same text every run.
    const std::vector<std::string> expected = {
        "CreateEventA(NULL, FALSE, FALSE, NULL) -> event#1",
        "WriteFile(device#1, 16 bytes [20 02 00 00 12 00 02 00 ...], overlapped#1, event#1) -> TRUE, count 16",
        "WaitForSingleObject(event#1, 1000) -> WAIT_OBJECT_0",
        "GetOverlappedResult(device#1, overlapped#1, TRUE) -> TRUE, count 16",
        "ReadFile(device#1, 32 bytes, overlapped#1, event#1) -> TRUE, count 32 [00 00 00 00 00 00 00 00 ...]",
        "WaitForSingleObject(event#1, 1000) -> WAIT_OBJECT_0",
        "GetOverlappedResult(device#1, overlapped#1, TRUE) -> TRUE, count 32",
        "CloseHandle(event#1) -> TRUE",
    };
    EXPECT_EQ(lines, expected);
}

}  // namespace
