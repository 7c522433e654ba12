// The scanner channel. The device handle is synchronous, so each write or read call returns once
// its transfer has ended and the system signals the completion event then; the event wait only
// bounds how long that signal may lag, and GetOverlappedResult merely collects the outcome.
#include "device/channel.h"

#include <cstring>

#include "app/messages.h"

namespace {

constexpr DWORD COMMAND_BYTES = static_cast<DWORD>(COMMAND_LENGTH);
constexpr DWORD REPLY_BYTES = static_cast<DWORD>(REPLY_LENGTH);

// Waits for the end of a transfer that the write or read call has carried out and checks that
// exactly `expected` bytes moved. A failed call is final and never waited for: a wait after it
// could hang on an event the system never signals.
MessageId Complete(HANDLE device, OVERLAPPED& overlapped, DWORD& count, DWORD expected) {
    if (WaitForSingleObject(overlapped.hEvent, TRANSFER_WAIT_MS) != WAIT_OBJECT_0)
        return MSG_USB_TIMEOUT;
    if (!GetOverlappedResult(device, &overlapped, &count, TRUE))
        return MSG_USB_RESULT_ERROR;
    if (count != expected)
        return MSG_USB_SIZE_MISMATCH;
    return TRANSFER_DONE;
}

// The OVERLAPPED record of one call: every member zero, so the transfer offset is 0, and the
// call's own completion event.
OVERLAPPED TransferRecord(HANDLE event) {
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
    return overlapped;
}

MessageId Exchange(HANDLE device, HANDLE event, const CommandBlock& command, DeviceReply& reply) {
    // One record serves the write and then the read; it is not cleared in between.
    OVERLAPPED overlapped = TransferRecord(event);
    DWORD count = 0;
    if (!WriteFile(device, command.bytes, COMMAND_BYTES, &count, &overlapped))
        return MSG_USB_WRITE_ERROR;
    MessageId failure = Complete(device, overlapped, count, COMMAND_BYTES);
    if (failure != TRANSFER_DONE)
        return failure;
    count = 0;
    if (!ReadFile(device, reply.bytes, REPLY_BYTES, &count, &overlapped))
        return MSG_USB_READ_ERROR;
    return Complete(device, overlapped, count, REPLY_BYTES);
}

MessageId Write(HANDLE device, HANDLE event, const uint8_t* data, uint32_t length) {
    OVERLAPPED overlapped = TransferRecord(event);
    DWORD count = 0;
    if (!WriteFile(device, data, length, &count, &overlapped))
        return MSG_USB_WRITE_ERROR;
    return Complete(device, overlapped, count, length);
}

// Whether a failure's message is printed, as soon as it is known and before the event is closed
// (the updater's own calls), or only handed back.
enum class Failures { Said, Kept };

// Runs one call's transfers with a completion event of their own. The event exists only for the
// call and is closed on every path that created it: the progress phase makes one call a second for
// as long as the scanner burns, so a leak here would grow without bound.
template <typename Transfers>
MessageId WithCompletionEvent(HANDLE device, Failures failures, Transfers transfers) {
    if (device == INVALID_HANDLE_VALUE || device == nullptr)
        return TRANSFER_NOT_STARTED;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr)
        return TRANSFER_NOT_STARTED;
    const MessageId outcome = transfers(event);
    if (outcome != TRANSFER_DONE && failures == Failures::Said)
        PrintMessage(outcome, MessageLanguage);
    CloseHandle(event);
    return outcome;
}

}  // namespace

MessageId ExchangeCommandQuietly(HANDLE device, const CommandBlock& command, DeviceReply& reply) {
    return WithCompletionEvent(device, Failures::Kept,
                               [&](HANDLE event) { return Exchange(device, event, command, reply); });
}

bool ExchangeCommand(HANDLE device, const CommandBlock& command, DeviceReply& reply) {
    return WithCompletionEvent(device, Failures::Said,
                               [&](HANDLE event) { return Exchange(device, event, command, reply); }) == TRANSFER_DONE;
}

bool WriteDeviceData(HANDLE device, const uint8_t* data, uint32_t length) {
    return WithCompletionEvent(device, Failures::Said,
                               [&](HANDLE event) { return Write(device, event, data, length); }) == TRANSFER_DONE;
}
