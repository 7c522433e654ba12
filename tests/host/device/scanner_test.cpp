// The substitute scanner and the transfer calls on a device handle, driven directly: which reply a
// read gets, what each transfer fault does to the call, the OVERLAPPED record and the device, the
// Windows rules for bad handles and arguments, and the run report's device member.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "device_harness.h"
#include "sim/sha256.h"

namespace {

using devtest::BootAndOpen;
using devtest::DeviceReport;
using devtest::OpenScanner;
using nlohmann::json;

constexpr ULONG_PTR STATUS_PENDING_VALUE = 0x103;
constexpr ULONG_PTR STATUS_UNSUCCESSFUL_VALUE = 0xC0000001;

std::array<uint8_t, 16> Command(uint8_t opcode, uint8_t subcode, uint32_t signature = 0x220) {
    std::array<uint8_t, 16> c{};
    for (int i = 0; i < 4; ++i) c[i] = static_cast<uint8_t>(signature >> (8 * i));
    c[4] = opcode;
    c[6] = subcode;
    return c;
}

const auto READY = Command(0x12, 2);
const auto PROGRESS = Command(0x12, 8);
const auto DOWNLOAD = Command(0x2A, 8);

uint32_t ResultOf(const uint8_t* reply) {
    return reply[0] | reply[1] << 8 | reply[2] << 16 | static_cast<uint32_t>(reply[3]) << 24;
}

// A synchronous write or read with a fresh OVERLAPPED and event, as the channel makes it.
struct Io {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov{};
    DWORD count = 0;
    Io() { ov.hEvent = event; }
    ~Io() { CloseHandle(event); }
    Io(const Io&) = delete;
    Io& operator=(const Io&) = delete;
    BOOL Write(HANDLE d, const void* data, DWORD n) { return WriteFile(d, data, n, &count, &ov); }
    BOOL Read(HANDLE d, void* data, DWORD n) { return ReadFile(d, data, n, &count, &ov); }
    bool Signalled() const { return sim::FindHandle(event, sim::HandleKind::Event)->signalled; }
};

BOOL Send(HANDLE d, const std::array<uint8_t, 16>& c) {
    Io io;
    return io.Write(d, c.data(), static_cast<DWORD>(c.size()));
}

// The result field of the next reply, or 0 when the read fails.
uint32_t NextResult(HANDLE d) {
    Io io;
    uint8_t reply[32] = {};
    return io.Read(d, reply, sizeof reply) ? ResultOf(reply) : 0;
}

// Replies told apart by their result field: ready 0x11.., download 0x31.., progress 0x21...
constexpr const char* LISTS = R"({"devices": [{"index": 0, "scanner": {
    "ready": [{"result": "0x11"}, {"result": "0x12"}],
    "download": [{"result": "0x31"}, {"result": "0x32"}],
    "progress": [{"result": "0x21"}, {"result": "0x22"}, {"result": "0x23"}]}}]})";

TEST(SubstituteScannerTest, ReplyChosenByTheLatestCommandAndLastEntryRepeats) {
    HANDLE d = BootAndOpen(LISTS);
    const std::vector<uint8_t> image(100, 0xAB);
    struct Step {
        const char* what;
        const std::array<uint8_t, 16>* command;  // null: no command before this read
        bool imageFirst;                         // an image write between the command and the read
        uint32_t result;
    };
    const auto unknownOpcode = Command(0x13, 2);
    const auto unknownSubcode = Command(0x12, 5);
    const auto noSignature = Command(0x12, 2, 0);
    const auto downloadOtherSubcode = Command(0x2A, 2);
    const Step steps[] = {
        {"read before any command", nullptr, false, 0x7001},
        {"first ready", &READY, false, 0x11},
        {"second read after the same command takes the next entry", nullptr, false, 0x12},
        {"ready used up: its last entry repeats", &READY, false, 0x12},
        {"progress has its own position", &PROGRESS, false, 0x21},
        {"download", &DOWNLOAD, false, 0x31},
        {"progress goes on where it was", &PROGRESS, false, 0x22},
        {"an image write does not change the chosen list", &PROGRESS, true, 0x23},
        {"progress used up", &PROGRESS, false, 0x23},
        {"download used up", &DOWNLOAD, false, 0x32},
        {"unknown opcode", &unknownOpcode, false, 0x7001},
        {"unknown subcode of a status query", &unknownSubcode, false, 0x7001},
        {"signature not checked", &noSignature, false, 0x12},
        {"the opcode alone makes a download command", &downloadOtherSubcode, false, 0x32},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.command != nullptr) {
            ASSERT_TRUE(Send(d, *s.command));
        }
        if (s.imageFirst) {
            Io io;
            ASSERT_TRUE(io.Write(d, image.data(), static_cast<DWORD>(image.size())));
        }
        EXPECT_EQ(NextResult(d), s.result);
    }
}

// What each fault does, seen from the caller and from the device. The event is signalled before each
// call: a call must reset it at its start, so a stale signal never passes for a finished transfer.
TEST(SubstituteScannerTest, TransferFaults) {
    struct Row {
        const char* op;
        const char* kind;
        BOOL returns;
        DWORD error;         // last error when the call fails
        DWORD count;         // stored by the call
        ULONG_PTR internal;  // the OVERLAPPED's status afterwards
        bool signalled;
        BOOL resultReturns;  // GetOverlappedResult(..., TRUE)
        DWORD resultError;
        DWORD resultCount;
        const char* received;  // the command the device took, hex; "" when none
        size_t replyBytes;     // reply bytes written into the caller's buffer
        uint32_t nextResult;   // the reply after this one: was this one consumed?
    };
    const std::string cmd = "20020000120002000000000000000000";
    const Row rows[] = {
        {"write", "fail", FALSE, ERROR_GEN_FAILURE, 0, STATUS_PENDING_VALUE, false, FALSE, ERROR_IO_INCOMPLETE, 0, "",
         0, 0x7001},
        {"write", "noSignal", TRUE, 0, 0, STATUS_PENDING_VALUE, false, FALSE, ERROR_IO_INCOMPLETE, 0, cmd.c_str(), 0,
         0x11},
        {"write", "resultFails", TRUE, 0, 16, STATUS_UNSUCCESSFUL_VALUE, true, FALSE, ERROR_GEN_FAILURE, 16,
         cmd.c_str(), 0, 0x11},
        {"write", "short", TRUE, 0, 15, 0, true, TRUE, 0, 15, "200200001200020000000000000000", 0, 0x11},
        {"write", "long", TRUE, 0, 17, 0, true, TRUE, 0, 17, cmd.c_str(), 0, 0x11},
        {"read", "fail", FALSE, ERROR_GEN_FAILURE, 0, STATUS_PENDING_VALUE, false, FALSE, ERROR_IO_INCOMPLETE, 0,
         cmd.c_str(), 0, 0x11},
        {"read", "noSignal", TRUE, 0, 0, STATUS_PENDING_VALUE, false, FALSE, ERROR_IO_INCOMPLETE, 0, cmd.c_str(), 32,
         0x12},
        {"read", "resultFails", TRUE, 0, 32, STATUS_UNSUCCESSFUL_VALUE, true, FALSE, ERROR_GEN_FAILURE, 32, cmd.c_str(),
         32, 0x12},
        {"read", "short", TRUE, 0, 31, 0, true, TRUE, 0, 31, cmd.c_str(), 31, 0x12},
        {"read", "long", TRUE, 0, 33, 0, true, TRUE, 0, 33, cmd.c_str(), 32, 0x12},
    };
    const std::string lists = R"("ready": [{"raw": "1100000001010101010101010101010101010101010101010101010101010101"},
                                           {"result": "0x12"}])";
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.op) + " " + r.kind);
        HANDLE d = BootAndOpen(R"({"devices": [{"index": 0, "scanner": {)" + lists + R"(, "faults": [{"op": ")" + r.op +
                               R"(", "n": 1, "kind": ")" + r.kind + R"("}]}}]})");
        const bool onRead = std::string(r.op) == "read";
        if (onRead) {
            ASSERT_TRUE(Send(d, READY));
        }

        Io io;
        sim::SignalEvent(io.event);
        io.count = 77;
        // The reply lands in the middle of a guarded buffer: nothing may be written past its 32 bytes.
        std::array<uint8_t, 64> buffer;
        buffer.fill(0xCC);
        SetLastError(0);
        const BOOL returned = onRead ? io.Read(d, buffer.data() + 16, 32) : io.Write(d, READY.data(), 16);
        EXPECT_EQ(returned, r.returns);
        if (!returned) {
            EXPECT_EQ(GetLastError(), r.error);
        }
        EXPECT_EQ(io.count, r.count);
        EXPECT_EQ(io.ov.Internal, r.internal);
        EXPECT_EQ(io.Signalled(), r.signalled);
        for (size_t i = 0; i < buffer.size(); ++i) {
            const bool written = i >= 16 && i < 16 + r.replyBytes;
            EXPECT_EQ(buffer[i], written ? (i == 16 ? 0x11 : i < 20 ? 0 : 1) : 0xCC) << i;
        }

        DWORD resultCount = 99;
        SetLastError(0);
        const BOOL result = GetOverlappedResult(d, &io.ov, &resultCount, TRUE);
        EXPECT_EQ(result, r.resultReturns);
        if (!result) {
            EXPECT_EQ(GetLastError(), r.resultError);
        }
        if (r.internal != STATUS_PENDING_VALUE) {
            EXPECT_EQ(resultCount, r.resultCount);
        }

        const json commands = DeviceReport()["commands"];
        EXPECT_EQ(commands, std::string(r.received).empty() ? json::array() : json::array({r.received}));
        EXPECT_EQ(NextResult(d), r.nextResult);
    }
}

// Fault counters count each operation on the device from 1, commands and image writes alike, and
// belong to the device, not to one handle. Calls that Windows refuses never reach the device.
TEST(SubstituteScannerTest, FaultCountersCountDeviceOperations) {
    HANDLE d = BootAndOpen(R"({"devices": [{"index": 0, "scanner": {"faults": [
        {"op": "write", "n": 2, "kind": "short"}, {"op": "write", "n": 4, "kind": "short"},
        {"op": "read", "n": 2, "kind": "short"}]}}],
        "failures": [{"call": "WriteFile", "nth": 3}]})");
    HANDLE second = OpenScanner(0);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    const std::vector<uint8_t> image(1000, 7);
    struct Step {
        HANDLE device;
        bool read;
        DWORD length;
        BOOL returns;
        DWORD count;
    };
    const Step steps[] = {
        {d, false, 16, TRUE, 16},        // write 1
        {d, false, 1000, TRUE, 999},     // write 2: an image, short
        {second, false, 16, FALSE, 77},  // refused by Windows: not a device operation
        {second, false, 16, TRUE, 16},   // write 3, through the other handle
        {second, true, 32, TRUE, 32},    // read 1
        {d, true, 32, TRUE, 31},         // read 2: short
        {d, false, 16, TRUE, 15},        // write 4: short
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        const Step& s = steps[i];
        DWORD count = 77;
        OVERLAPPED ov{};
        uint8_t reply[32];
        const void* data = s.length == 16 ? static_cast<const void*>(READY.data()) : image.data();
        const BOOL ok = s.read ? ReadFile(s.device, reply, s.length, &count, &ov)
                               : WriteFile(s.device, data, s.length, &count, &ov);
        EXPECT_EQ(ok, s.returns);
        EXPECT_EQ(count, s.count);
    }
    const json report = DeviceReport();
    EXPECT_EQ(report["commands"].size(), 3u);
    EXPECT_EQ(report["commands"][2], "200200001200020000000000000000");
    ASSERT_EQ(report["images"].size(), 1u);
    EXPECT_EQ(report["images"][0]["length"], 999);
    EXPECT_EQ(report["images"][0]["sha256"], sim::Sha256Hex(image.data(), 999));
}

TEST(SubstituteScannerTest, WindowsRulesForHandlesAndArguments) {
    struct Row {
        const char* what;
        int handle;  // 0 the open device, 1 null, 2 INVALID_HANDLE_VALUE, 3 an event, 4 a closed device
        bool eventIsDevice;
        bool noBuffer;
        DWORD error;
    };
    const Row rows[] = {
        {"null handle", 1, false, false, ERROR_INVALID_HANDLE},
        {"INVALID_HANDLE_VALUE", 2, false, false, ERROR_INVALID_HANDLE},
        {"an event handle", 3, false, false, ERROR_INVALID_HANDLE},
        {"a closed device handle", 4, false, false, ERROR_INVALID_HANDLE},
        {"hEvent is not an event", 0, true, false, ERROR_INVALID_HANDLE},
        {"no buffer", 0, false, true, 998},
    };
    for (const Row& r : rows) {
        for (bool read : {false, true}) {
            SCOPED_TRACE(std::string(r.what) + (read ? ", read" : ", write"));
            HANDLE d = BootAndOpen(R"({"devices": [{"index": 0}]})");
            HANDLE closed = OpenScanner(0);
            CloseHandle(closed);
            Io io;
            const HANDLE handles[] = {d, nullptr, INVALID_HANDLE_VALUE, io.event, closed};
            if (r.eventIsDevice)
                io.ov.hEvent = d;
            io.ov.InternalHigh = 1234;
            io.count = 77;
            uint8_t reply[32];
            const BOOL ok =
                read ? ReadFile(handles[r.handle], r.noBuffer ? nullptr : reply, 32, &io.count, &io.ov)
                     : WriteFile(handles[r.handle], r.noBuffer ? nullptr : READY.data(), 16, &io.count, &io.ov);
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), r.error);
            // Windows clears the count and marks the record pending before it looks at anything.
            EXPECT_EQ(io.count, 0u);
            EXPECT_EQ(io.ov.Internal, STATUS_PENDING_VALUE);
            EXPECT_EQ(io.ov.InternalHigh, 0u);
            EXPECT_EQ(sim::M().devices.scanners[0].writes + sim::M().devices.scanners[0].reads, 0u);
            EXPECT_TRUE(DeviceReport()["commands"].empty());
        }
    }
}

// A call that the failure plan makes fail has no other effect at all.
TEST(SubstituteScannerTest, InjectedFailureTouchesNothing) {
    for (const char* call : {"WriteFile", "ReadFile", "GetOverlappedResult"}) {
        SCOPED_TRACE(call);
        HANDLE d = BootAndOpen(std::string(R"({"devices": [{"index": 0}], "failures": [{"call": ")") + call + "\"}]}");
        const std::string name = call;
        if (name != "WriteFile") {
            ASSERT_TRUE(Send(d, READY));
        }
        Io io;
        if (name == "GetOverlappedResult") {
            ASSERT_TRUE(io.Write(d, READY.data(), 16));
        }
        io.ov.Internal = 0x55;
        io.ov.InternalHigh = 0x66;
        io.count = 77;
        uint8_t reply[32] = {};
        BOOL ok = name == "WriteFile"  ? io.Write(d, READY.data(), 16)
                  : name == "ReadFile" ? io.Read(d, reply, sizeof reply)
                                       : GetOverlappedResult(d, &io.ov, &io.count, TRUE);
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
        EXPECT_EQ(io.count, 77u);
        EXPECT_EQ(io.ov.Internal, 0x55u);
        EXPECT_EQ(io.ov.InternalHigh, 0x66u);
        // Nothing reached the device: a refused write adds no command, a refused read takes no reply.
        EXPECT_EQ(DeviceReport()["commands"].size(), name == "GetOverlappedResult" ? 2u : name == "ReadFile" ? 1u : 0u);
        EXPECT_EQ(sim::M().devices.scanners[0].reads, 0u);
    }
}

TEST(SubstituteScannerTest, WithoutOverlappedTheTransferStillHappens) {
    HANDLE d = BootAndOpen(LISTS);
    DWORD count = 0;
    EXPECT_TRUE(WriteFile(d, READY.data(), 16, &count, nullptr));
    EXPECT_EQ(count, 16u);
    uint8_t reply[32] = {};
    EXPECT_TRUE(ReadFile(d, reply, sizeof reply, &count, nullptr));
    EXPECT_EQ(count, 32u);
    EXPECT_EQ(ResultOf(reply), 0x11u);
    EXPECT_FALSE(GetOverlappedResult(d, nullptr, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// The report describes the device the updater still holds: the last one opened among those open.
TEST(SubstituteScannerTest, ReportNamesTheHeldDevice) {
    struct Row {
        const char* what;
        std::vector<int> close;  // positions in the open order, closed after all were opened
        json index;              // null: no device member
    };
    const Row rows[] = {
        {"all held: the last opened", {}, 5},
        {"the last one closed", {2}, 1},
        {"only the first held", {1, 2}, 3},
        {"none held", {0, 1, 2}, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        sim::Boot(sim::ParseScenario(R"({"devices": [{"index": 1}, {"index": 3}, {"index": 5}]})", "test"), {});
        const HANDLE opened[] = {OpenScanner(3), OpenScanner(1), OpenScanner(5)};
        // Each device hears a different command, so the report shows whose record it is.
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(Send(opened[i], Command(0x12, static_cast<uint8_t>(i))));
        for (int i : r.close) CloseHandle(opened[i]);
        const json report = DeviceReport();
        if (r.index.is_null()) {
            EXPECT_TRUE(report.is_null()) << report;
            continue;
        }
        ASSERT_TRUE(report.is_object()) << report;
        EXPECT_EQ(report["index"], r.index);
        const int position = r.index == 3 ? 0 : r.index == 1 ? 1 : 2;
        char hex[40];
        std::snprintf(hex, sizeof hex, "200200001200%02x000000000000000000", position);
        EXPECT_EQ(report["commands"], json::array({hex}));
        EXPECT_EQ(report["images"], json::array());
    }
}

// Digests computed outside the simulator, so that the report's hashes are checked against the real
// SHA-256 and not only against the simulator's own function.
constexpr char SHA256_OF_1_TO_5[] = "74f81fe167d99b4cb41d6d0ccda82278caee9f3e2f25d5e5a3936ff3dcec60d0";
constexpr char SHA256_OF_NOTHING[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(SubstituteScannerTest, ImagesHashedUnlessTheRunSaysNot) {
    const std::vector<uint8_t> image = {1, 2, 3, 4, 5};
    for (bool hash : {true, false}) {
        SCOPED_TRACE(hash);
        sim::RunOptions options;
        options.hashImages = hash;
        HANDLE d = BootAndOpen(R"({"devices": [{"index": 0}]})", options);
        Io io;
        ASSERT_TRUE(io.Write(d, image.data(), static_cast<DWORD>(image.size())));
        ASSERT_TRUE(io.Write(d, image.data(), 0));
        const json sha = hash ? json(SHA256_OF_1_TO_5) : json(nullptr);
        const json empty = hash ? json(SHA256_OF_NOTHING) : json(nullptr);
        EXPECT_EQ(DeviceReport()["images"],
                  json::array({{{"length", 5}, {"sha256", sha}}, {{"length", 0}, {"sha256", empty}}}));
    }
}

}  // namespace
