// The scanner channel: one command out and one reply in, or one block of data out, over the
// synchronous device handle of the found scanner. Each call prints its own failure message.
#pragma once

#include <cstdint>

#include "app/messages.h"
#include "device/protocol.h"
#include "platform/win32.h"

constexpr DWORD TRANSFER_WAIT_MS = 1000;

// Writes the 16 bytes of `command`, then reads 32 bytes into `reply`. True only when both
// transfers completed with exactly those counts; after false `reply` is not to be read.
bool ExchangeCommand(HANDLE device, const CommandBlock& command, DeviceReply& reply);

// Writes `length` bytes from `data` in one transfer. True only when exactly `length` moved.
bool WriteDeviceData(HANDLE device, const uint8_t* data, uint32_t length);

// How a transfer call ended when its caller speaks for itself: done, not started (no device
// handle, or no completion event to be had: nothing moved), or the message of the failure.
constexpr MessageId TRANSFER_DONE = -1;
constexpr MessageId TRANSFER_NOT_STARTED = -2;

// ExchangeCommand with the same transfers, saying nothing on the console: for a program whose
// output is not the updater's.
MessageId ExchangeCommandQuietly(HANDLE device, const CommandBlock& command, DeviceReply& reply);
