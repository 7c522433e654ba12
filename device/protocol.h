// The scanner's command protocol: 16-byte command blocks, 32-byte replies.
//
// Both records are plain byte arrays on the wire, little-endian, unaligned. They are kept here as
// byte arrays and filled or read field by field at the protocol's offsets, so the bytes on the
// wire are the same on any host whatever its byte order or struct padding.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t COMMAND_LENGTH = 16;
constexpr size_t REPLY_LENGTH = 32;

constexpr uint32_t COMMAND_SIGNATURE = 0x220;
constexpr uint8_t OP_QUERY_STATUS = 0x12;
constexpr uint8_t OP_DOWNLOAD_FIRMWARE = 0x2A;
constexpr uint8_t SUBCODE_BEFORE_DOWNLOAD = 2;
constexpr uint8_t SUBCODE_AFTER_DOWNLOAD = 8;
constexpr uint8_t SUBCODE_DOWNLOAD = 8;
constexpr uint32_t RESULT_REFUSED = 0x7001;

// Scanner states as replies report them.
constexpr uint16_t DEVICE_STATE_IDLE = 0;
constexpr uint16_t DEVICE_STATE_READY = 6;
constexpr uint16_t DEVICE_STATE_BURNING = 7;

// Field offsets.
constexpr size_t CMD_SIGNATURE_OFFSET = 0;
constexpr size_t CMD_OPCODE_OFFSET = 4;
constexpr size_t CMD_SUBCODE_OFFSET = 6;
constexpr size_t CMD_IMAGE_KIND_OFFSET = 8;
constexpr size_t CMD_IMAGE_LENGTH_OFFSET = 12;
constexpr size_t REPLY_RESULT_CODE_OFFSET = 0;
constexpr size_t REPLY_DEVICE_STATE_OFFSET = 4;
constexpr size_t REPLY_PROGRESS_PERCENT_OFFSET = 10;
constexpr size_t REPLY_MODEL_CODE_OFFSET = 14;

struct CommandBlock {
    uint8_t bytes[COMMAND_LENGTH];
};

struct DeviceReply {
    uint8_t bytes[REPLY_LENGTH];
};

static_assert(sizeof(CommandBlock) == COMMAND_LENGTH, "a command block is 16 bytes on the wire");
static_assert(sizeof(DeviceReply) == REPLY_LENGTH, "a reply is 32 bytes on the wire");

// A status query (opcode 0x12) with the given subcode: 2 before the download, 8 after it.
CommandBlock MakeStatusQuery(uint8_t subcode);
// The download command (opcode 0x2A, subcode 8) announcing an image of `imageLength` bytes.
CommandBlock MakeDownloadCommand(uint16_t imageKind, uint32_t imageLength);

// The fields of a command block, read back from its bytes.
uint32_t CommandSignature(const CommandBlock& command);
uint8_t CommandOpcode(const CommandBlock& command);
uint8_t CommandSubcode(const CommandBlock& command);
uint16_t CommandImageKind(const CommandBlock& command);
uint32_t CommandImageLength(const CommandBlock& command);

// The reply fields the updater interprets; every other byte is left alone.
uint32_t ReplyResultCode(const DeviceReply& reply);
uint16_t ReplyDeviceState(const DeviceReply& reply);
uint8_t ReplyProgressPercent(const DeviceReply& reply);
uint8_t ReplyModelCode(const DeviceReply& reply);
