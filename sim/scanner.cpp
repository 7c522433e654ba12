// The substitute scanner behind each simulated still-image device, and the transfer calls on a
// device handle (WriteFile, ReadFile, GetOverlappedResult).
//
// The device handle is synchronous, as the updater opens it: a write or read call returns when its
// transfer has ended. Like Windows, the call resets the OVERLAPPED's event when it starts, keeps
// the transfer's status in Internal and its count in InternalHigh, and signals the event when the
// transfer ends; GetOverlappedResult only reads the record back. The scanner's own constants are
// written out here rather than taken from the updater, so a wrong value on the updater's side
// shows up as a wrong answer instead of agreeing with itself.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "sim/files.h"
#include "sim/machine.h"
#include "sim/sha256.h"
#include "text/hex.h"

namespace {

using sim::FaultKind;
using sim::HandleKind;
using sim::HandleObject;
using sim::ReplyBytes;
using sim::ScannerRuntime;
using sim::ScannerSpec;

constexpr size_t COMMAND_BYTES = 16;  // a write of any other length is image data
constexpr size_t OPCODE_OFFSET = 4;
constexpr size_t SUBCODE_OFFSET = 6;
constexpr uint8_t OPCODE_STATUS = 0x12;
constexpr uint8_t OPCODE_DOWNLOAD = 0x2A;
constexpr uint8_t SUBCODE_READY = 2;
constexpr uint8_t SUBCODE_PROGRESS = 8;
constexpr uint32_t RESULT_UNKNOWN_COMMAND = 0x7001;

// NT status values as the OVERLAPPED's Internal member carries them.
constexpr ULONG_PTR STATUS_SUCCESS = 0;
constexpr ULONG_PTR STATUS_PENDING = 0x103;
constexpr ULONG_PTR STATUS_UNSUCCESSFUL = 0xC0000001;
// A buffer the system cannot read from or write to.
constexpr DWORD ERROR_NOACCESS_CODE = 998;
// How many bytes of a transfer --trace shows.
constexpr size_t TRACE_BYTES = 8;

enum class Op { Write, Read };

using sim::Ptr;

// The first bytes of a transfer for --trace, " [20 02 00 00 ...]".
std::string Preview(const void* buffer, size_t n) {
    std::string out = " [";
    if (buffer != nullptr && n > 0) {
        const size_t shown = std::min(n, TRACE_BYTES);
        out += HexBytes(static_cast<const uint8_t*>(buffer), shown, " ");
        if (n > shown)
            out += " ...";
    }
    return out + "]";
}

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Fail:
            return "fail";
        case FaultKind::NoSignal:
            return "noSignal";
        case FaultKind::ResultFails:
            return "resultFails";
        case FaultKind::Short:
            return "short";
        case FaultKind::Long:
            return "long";
    }
    return "?";
}

const ScannerSpec* GivenOf(int index) {
    for (const sim::DeviceSpec& d : sim::M().scenario.devices)
        if (d.index == index)
            return &d.scanner;
    return nullptr;
}

const sim::TransferFault* FaultFor(const ScannerSpec& given, Op op, uint32_t n) {
    for (const sim::TransferFault& f : given.faults)
        if (f.onRead == (op == Op::Read) && f.n == n)
            return &f;
    return nullptr;
}

ReplyBytes Refusal() {
    ReplyBytes reply{};
    for (size_t i = 0; i < sizeof RESULT_UNKNOWN_COMMAND; ++i)
        reply[i] = static_cast<uint8_t>(RESULT_UNKNOWN_COMMAND >> (8 * i));
    return reply;
}

// The next entry of a reply list; once the list is used up its last entry repeats.
ReplyBytes Take(const std::vector<ReplyBytes>& list, size_t& next) {
    if (list.empty())
        return Refusal();
    const size_t at = std::min(next, list.size() - 1);
    if (next < list.size())
        ++next;
    return list[at];
}

// The reply chosen by the latest command received. Only the opcode and subcode classify a command:
// the signature is not checked, so a command with a wrong one is still answered and shows in the
// report as sent. A read before any command is answered like an unknown command.
ReplyBytes NextReply(ScannerRuntime& s, const ScannerSpec& given) {
    const std::vector<uint8_t>& c = s.lastCommand;
    if (!s.haveCommand || c.size() <= OPCODE_OFFSET)
        return Refusal();
    const bool status = c[OPCODE_OFFSET] == OPCODE_STATUS && c.size() > SUBCODE_OFFSET;
    if (status && c[SUBCODE_OFFSET] == SUBCODE_READY)
        return Take(given.ready, s.readyNext);
    if (status && c[SUBCODE_OFFSET] == SUBCODE_PROGRESS)
        return Take(given.progress, s.progressNext);
    if (c[OPCODE_OFFSET] == OPCODE_DOWNLOAD)
        return Take(given.download, s.downloadNext);
    return Refusal();
}

// The device's side of a write of `delivered` bytes that the caller asked to be `requested`.
void Receive(ScannerRuntime& s, const uint8_t* data, DWORD requested, DWORD delivered) {
    if (requested == COMMAND_BYTES) {
        s.lastCommand.assign(data, data + delivered);
        s.haveCommand = true;
        s.commands.push_back(s.lastCommand);
        return;
    }
    ScannerRuntime::Image image;
    image.length = delivered;
    if (sim::M().options.hashImages)
        image.sha256 = sim::Sha256Hex(data, delivered);
    s.images.push_back(image);
}

// One write or read call on a device handle.
BOOL Transfer(const char* call, Op op, HANDLE file, void* buffer, DWORD length, LPDWORD count,
              LPOVERLAPPED overlapped) {
    std::string args;
    if (sim::Tracing())
        args = Ptr(file) + ", " + std::to_string(length) + " bytes" +
               (op == Op::Write ? Preview(buffer, length) : std::string()) + ", " +
               sim::Name("overlapped", overlapped) + ", " + Ptr(overlapped == nullptr ? nullptr : overlapped->hEvent);
    if (sim::Enter(call, ERROR_GEN_FAILURE)) {
        sim::TraceCall(call, args, "FALSE (injected)");
        return FALSE;
    }
    auto refuse = [&](DWORD error, const std::string& why) {
        SetLastError(error);
        sim::TraceCall(call, args, [&] { return "FALSE, error " + std::to_string(error) + why; });
        return FALSE;
    };
    // As Windows does before anything else: no count yet, the transfer not yet ended.
    if (count != nullptr)
        *count = 0;
    if (const HandleObject* onDisk = sim::FindHandle(file, HandleKind::File))
        return sim::TransferOnDisk(call, op == Op::Write, *onDisk, buffer, length, count, overlapped, args);
    if (overlapped != nullptr) {
        overlapped->Internal = STATUS_PENDING;
        overlapped->InternalHigh = 0;
    }
    HandleObject* device = sim::FindHandle(file, HandleKind::Device);
    const ScannerSpec* given = device == nullptr ? nullptr : GivenOf(device->ref);
    if (given == nullptr)
        return refuse(ERROR_INVALID_HANDLE, "");
    HANDLE event = overlapped == nullptr ? nullptr : overlapped->hEvent;
    if (event != nullptr && sim::FindHandle(event, HandleKind::Event) == nullptr)
        return refuse(ERROR_INVALID_HANDLE, " (not an event)");
    if (buffer == nullptr && length > 0)
        return refuse(ERROR_NOACCESS_CODE, " (no buffer)");
    if (event != nullptr)
        sim::ResetEventObject(event);

    ScannerRuntime& s = sim::M().devices.scanners[device->ref];
    const uint32_t n = op == Op::Write ? ++s.writes : ++s.reads;
    const sim::TransferFault* fault = FaultFor(*given, op, n);
    auto faulted = [fault](FaultKind kind) { return fault != nullptr && fault->kind == kind; };
    const std::string note = fault == nullptr ? "" : std::string(" (fault ") + FaultName(fault->kind) + ")";
    if (faulted(FaultKind::Fail))
        return refuse(ERROR_GEN_FAILURE, note);

    const bool shortened = faulted(FaultKind::Short);
    DWORD moved = 0;
    if (op == Op::Write) {
        moved = shortened && length > 0 ? length - 1 : length;
        Receive(s, static_cast<const uint8_t*>(buffer), length, moved);
    } else {
        const ReplyBytes reply = NextReply(s, *given);
        moved = static_cast<DWORD>(std::min<size_t>(length, reply.size()));
        if (shortened && moved > 0)
            --moved;
        if (moved > 0)
            std::memcpy(buffer, reply.data(), moved);
    }
    const std::string shown = op == Op::Read ? Preview(buffer, moved) : std::string();

    // The device has the data, but the end of the transfer is never reported: the record stays
    // pending, the event unsignalled, and no count is given.
    if (faulted(FaultKind::NoSignal)) {
        sim::TraceCall(call, args, [&] { return "TRUE, count 0, no signal" + shown + note; });
        return TRUE;
    }
    // The count may claim more than the buffer holds; nothing is ever written past it.
    const DWORD reported = faulted(FaultKind::Long) ? length + 1 : moved;
    const bool resultFails = faulted(FaultKind::ResultFails);
    if (overlapped != nullptr) {
        overlapped->Internal = resultFails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
        overlapped->InternalHigh = reported;
    }
    if (count != nullptr)
        *count = reported;
    if (event != nullptr)
        sim::SignalEvent(event);
    sim::TraceCall(call, args, [&] { return "TRUE, count " + std::to_string(reported) + shown + note; });
    return TRUE;
}

}  // namespace

namespace sim {

void BootDevices(Machine& m) {
    for (const DeviceSpec& d : m.scenario.devices) m.devices.scanners[d.index] = ScannerRuntime{};
}

void ReportDevices(const Machine& m, nlohmann::json& report) {
    // The matched scanner is the device the updater still holds open at the end. Handle values
    // only grow, so the highest open device handle is the last one opened.
    const HandleObject* held = nullptr;
    for (const auto& [value, obj] : m.handles)
        if (obj.kind == HandleKind::Device)
            held = &obj;
    auto runtime = held == nullptr ? m.devices.scanners.end() : m.devices.scanners.find(held->ref);
    if (runtime == m.devices.scanners.end()) {
        report["device"] = nullptr;
        return;
    }
    const ScannerRuntime& s = runtime->second;
    nlohmann::json commands = nlohmann::json::array();
    for (const std::vector<uint8_t>& c : s.commands) commands.push_back(HexBytes(c.data(), c.size(), ""));
    nlohmann::json images = nlohmann::json::array();
    for (const ScannerRuntime::Image& i : s.images) {
        nlohmann::json sha = i.sha256.empty() ? nlohmann::json(nullptr) : nlohmann::json(i.sha256);
        images.push_back({{"length", i.length}, {"sha256", sha}});
    }
    report["device"] = {{"index", held->ref}, {"commands", commands}, {"images", images}};
}

}  // namespace sim

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    // The buffer is only read from on a write.
    return Transfer("WriteFile", Op::Write, hFile, const_cast<void*>(lpBuffer), nNumberOfBytesToWrite,
                    lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    return Transfer("ReadFile", Op::Read, hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

// Reads back what the transfer stored in the record. Like Windows, it does not look at hFile for a
// transfer that has ended.
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
    std::string args;
    if (sim::Tracing())
        args = Ptr(hFile) + ", " + sim::Name("overlapped", lpOverlapped) + ", " + (bWait ? "TRUE" : "FALSE");
    if (sim::Enter("GetOverlappedResult", ERROR_GEN_FAILURE)) {
        sim::TraceCall("GetOverlappedResult", args, "FALSE (injected)");
        return FALSE;
    }
    auto refuse = [&](DWORD error, const std::string& why) {
        SetLastError(error);
        sim::TraceCall("GetOverlappedResult", args, [&] { return "FALSE, error " + std::to_string(error) + why; });
        return FALSE;
    };
    // Windows would fault on either; a test learns more from an error.
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr)
        return refuse(ERROR_INVALID_PARAMETER, " (null argument)");
    // Nothing else runs in the simulated host, so a transfer still pending never ends: waiting
    // for it would hang the real program. Here that is reported instead of hanging.
    if (lpOverlapped->Internal == STATUS_PENDING)
        return refuse(ERROR_IO_INCOMPLETE, bWait ? " (would wait for ever)" : "");
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (lpOverlapped->Internal != STATUS_SUCCESS)
        return refuse(ERROR_GEN_FAILURE, "");
    sim::TraceCall("GetOverlappedResult", args,
                   [&] { return "TRUE, count " + std::to_string(*lpNumberOfBytesTransferred); });
    return TRUE;
}
