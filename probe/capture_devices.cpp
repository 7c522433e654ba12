// The still-image devices, opened as the updater opens them, each closed again at once; and, when
// asked for, one status query to the first target scanner.
#include <cstdio>
#include <cstring>

#include "app/entry.h"
#include "device/protocol.h"
#include "probe/capture.h"

namespace {

constexpr const char* STEP = "devices";
constexpr int DESCRIPTOR_ID_DIGITS = 4;
constexpr DWORD COMMAND_BYTES = static_cast<DWORD>(COMMAND_LENGTH);
constexpr DWORD REPLY_BYTES = static_cast<DWORD>(REPLY_LENGTH);
// How long a transfer's completion may lag, as the updater allows it.
constexpr DWORD QUERY_WAIT_MS = 1000;

std::string DeviceName(int number) {
    char name[DEVICE_NAME_SIZE];
    std::snprintf(name, sizeof name, DEVICE_NAME_FORMAT, number);
    return name;
}

HANDLE OpenDevice(const std::string& name) {
    return CreateFileA(name.c_str(), DEVICE_ACCESS, DEVICE_SHARE_MODE, nullptr, OPEN_EXISTING, DEVICE_FLAGS, nullptr);
}

void Close(Capture& capture, HANDLE handle, const std::string& subject) {
    if (!CloseHandle(handle))
        Note(capture, STEP, "CloseHandle", subject, GetLastError());
}

// Waits for one transfer and collects its count; false (noted) when it did not end well.
bool Complete(Capture& capture, HANDLE device, OVERLAPPED& overlapped, DWORD expected, const std::string& name) {
    const DWORD waited = WaitForSingleObject(overlapped.hEvent, QUERY_WAIT_MS);
    if (waited != WAIT_OBJECT_0) {
        Note(capture, STEP, "WaitForSingleObject", name, waited == WAIT_FAILED ? GetLastError() : waited);
        return false;
    }
    DWORD count = 0;
    if (!GetOverlappedResult(device, &overlapped, &count, TRUE)) {
        Note(capture, STEP, "GetOverlappedResult", name, GetLastError());
        return false;
    }
    if (count != expected) {
        Note(capture, STEP, "GetOverlappedResult", name + ": " + std::to_string(count) + " bytes moved", 0);
        return false;
    }
    return true;
}

// The updater's first status query and the scanner's 32-byte reply, with the updater's transfer
// calls; false when any of them failed.
bool QueryReadyStatus(Capture& capture, HANDLE device, const std::string& name, DeviceReply& reply) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        Note(capture, STEP, "CreateEventA", name, GetLastError());
        return false;
    }
    const CommandBlock query = MakeStatusQuery(SUBCODE_BEFORE_DOWNLOAD);
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
    DWORD count = 0;
    bool ok = false;
    if (!WriteFile(device, query.bytes, COMMAND_BYTES, &count, &overlapped))
        Note(capture, STEP, "WriteFile", name, GetLastError());
    else if (Complete(capture, device, overlapped, COMMAND_BYTES, name)) {
        count = 0;
        if (!ReadFile(device, reply.bytes, REPLY_BYTES, &count, &overlapped))
            Note(capture, STEP, "ReadFile", name, GetLastError());
        else
            ok = Complete(capture, device, overlapped, REPLY_BYTES, name);
    }
    Close(capture, event, name);
    return ok;
}

void AskScanner(Capture& capture, const std::string& name, JsonValue& entry) {
    HANDLE device = OpenDevice(name);
    if (device == INVALID_HANDLE_VALUE) {
        Note(capture, STEP, "CreateFileA", name, GetLastError());
        return;
    }
    DeviceReply reply;
    std::memset(&reply, 0, sizeof reply);
    const bool answered = QueryReadyStatus(capture, device, name, reply);
    Close(capture, device, name);
    if (!answered)
        return;
    JsonValue first = JsonObject();
    Add(first, "raw", JsonString(HexBytes(reply.bytes, REPLY_LENGTH)));
    JsonValue ready = JsonArray();
    Append(ready, std::move(first));
    JsonValue scanner = JsonObject();
    Add(scanner, "ready", std::move(ready));
    Add(entry, "scanner", std::move(scanner));
}

// One device that opened: its descriptor, as the updater asks for it. True when the device is
// the updater's scanner.
bool ReadDescriptor(Capture& capture, HANDLE device, const std::string& name, JsonValue& entry, JsonValue& seen) {
    DEVICE_DESCRIPTOR descriptor;
    std::memset(&descriptor, 0, sizeof descriptor);
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_GET_DEVICE_DESCRIPTOR, &descriptor, sizeof descriptor, &descriptor,
                         sizeof descriptor, &returned, nullptr)) {
        const DWORD error = GetLastError();
        Note(capture, STEP, "DeviceIoControl", name, error);
        Add(entry, "descriptor", JsonString("fail"));
        Add(seen, "descriptorError", JsonNumber(error));
        return false;
    }
    JsonValue answer = JsonObject();
    Add(answer, "vid", JsonString(HexNumber(descriptor.usVendorId, DESCRIPTOR_ID_DIGITS)));
    Add(answer, "pid", JsonString(HexNumber(descriptor.usProductId, DESCRIPTOR_ID_DIGITS)));
    Add(answer, "bcd", JsonString(HexNumber(descriptor.usBcdDevice, DESCRIPTOR_ID_DIGITS)));
    Add(answer, "length", JsonNumber(returned));
    Add(entry, "descriptor", std::move(answer));
    // The language field is not replayed; the whole answer is kept for the record.
    Add(seen, "descriptorBytes",
        JsonString(HexBytes(reinterpret_cast<const uint8_t*>(&descriptor), sizeof descriptor)));
    return descriptor.usVendorId == TARGET_VENDOR_ID && descriptor.usProductId == TARGET_PRODUCT_ID;
}

}  // namespace

std::string CaptureDevices(Capture& capture, const ProbeOptions& options) {
    JsonValue devices = JsonArray();
    JsonValue seenDevices = JsonArray();
    std::string target;
    size_t targetEntry = 0;
    for (int number = FIRST_DEVICE_NUMBER; number <= LAST_DEVICE_NUMBER; ++number) {
        const std::string name = DeviceName(number);
        JsonValue entry = JsonObject();
        Add(entry, "index", JsonNumber(number));
        JsonValue seen = JsonObject();
        Add(seen, "index", JsonNumber(number));

        HANDLE device = OpenDevice(name);
        if (device == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // No such device: the usual answer for most numbers.
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                continue;
            Add(seen, "openError", JsonNumber(error));
            Append(seenDevices, std::move(seen));
            if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
                Add(entry, "open", JsonString(error == ERROR_ACCESS_DENIED ? "denied" : "busy"));
                Append(devices, std::move(entry));
            } else {
                // The format has no word for it; the updater passes such a device over as it
                // passes over one that does not exist.
                Note(capture, STEP, "CreateFileA", name, error);
            }
            continue;
        }
        const bool isTarget = ReadDescriptor(capture, device, name, entry, seen);
        Close(capture, device, name);
        if (isTarget && target.empty()) {
            target = name;
            targetEntry = devices.items.size();
        }
        Append(devices, std::move(entry));
        Append(seenDevices, std::move(seen));
    }
    if (options.askScanner && !target.empty())
        AskScanner(capture, target, devices.items[targetEntry]);
    Add(capture.scenario, "devices", std::move(devices));
    Add(capture.probe, "devices", std::move(seenDevices));
    Add(capture.probe, "scanner", target.empty() ? JsonValue{} : JsonString(target));
    return target;
}
