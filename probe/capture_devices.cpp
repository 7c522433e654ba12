// The still-image devices, opened as the updater opens them, each closed again at once; and, when
// asked for, one status query to the first target scanner.
#include <cstdio>
#include <cstring>

#include "app/entry.h"
#include "app/messages.h"
#include "device/channel.h"
#include "probe/capture.h"
#include "text/hex.h"

namespace {

constexpr const char* STEP = "devices";
constexpr int DESCRIPTOR_ID_DIGITS = 4;

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

void AskScanner(Capture& capture, const std::string& name, JsonValue& entry) {
    HANDLE device = OpenDevice(name);
    if (device == INVALID_HANDLE_VALUE) {
        Note(capture, STEP, "CreateFileA", name, GetLastError());
        return;
    }
    DeviceReply reply;
    std::memset(&reply, 0, sizeof reply);
    // The updater's first query, through the updater's own transfer calls.
    const MessageId outcome = ExchangeCommandQuietly(device, MakeStatusQuery(SUBCODE_BEFORE_DOWNLOAD), reply);
    const DWORD error = GetLastError();
    Close(capture, device, name);
    if (outcome != TRANSFER_DONE) {
        const std::string why =
            outcome == TRANSFER_NOT_STARTED ? "no completion event" : MessageText(outcome, LANGUAGE_ENGLISH);
        Note(capture, STEP, "ExchangeCommand", name + ": " + why, error);
        return;
    }
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
