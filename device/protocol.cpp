#include "device/protocol.h"

#include <cstring>

namespace {

void PutLe(uint8_t* at, uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe(const uint8_t* at, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
    return value;
}

CommandBlock MakeCommand(uint8_t opcode, uint8_t subcode, uint16_t imageKind, uint32_t imageLength) {
    CommandBlock block;
    std::memset(block.bytes, 0, sizeof block.bytes);
    PutLe(block.bytes + CMD_SIGNATURE_OFFSET, COMMAND_SIGNATURE, sizeof(uint32_t));
    PutLe(block.bytes + CMD_OPCODE_OFFSET, opcode, sizeof(uint8_t));
    PutLe(block.bytes + CMD_SUBCODE_OFFSET, subcode, sizeof(uint8_t));
    PutLe(block.bytes + CMD_IMAGE_KIND_OFFSET, imageKind, sizeof(uint16_t));
    PutLe(block.bytes + CMD_IMAGE_LENGTH_OFFSET, imageLength, sizeof(uint32_t));
    return block;
}

}  // namespace

CommandBlock MakeStatusQuery(uint8_t subcode) {
    return MakeCommand(OP_QUERY_STATUS, subcode, 0, 0);
}

CommandBlock MakeDownloadCommand(uint16_t imageKind, uint32_t imageLength) {
    return MakeCommand(OP_DOWNLOAD_FIRMWARE, SUBCODE_DOWNLOAD, imageKind, imageLength);
}

uint32_t CommandSignature(const CommandBlock& c) {
    return GetLe(c.bytes + CMD_SIGNATURE_OFFSET, sizeof(uint32_t));
}
uint8_t CommandOpcode(const CommandBlock& c) {
    return c.bytes[CMD_OPCODE_OFFSET];
}
uint8_t CommandSubcode(const CommandBlock& c) {
    return c.bytes[CMD_SUBCODE_OFFSET];
}
uint16_t CommandImageKind(const CommandBlock& c) {
    return static_cast<uint16_t>(GetLe(c.bytes + CMD_IMAGE_KIND_OFFSET, sizeof(uint16_t)));
}
uint32_t CommandImageLength(const CommandBlock& c) {
    return GetLe(c.bytes + CMD_IMAGE_LENGTH_OFFSET, sizeof(uint32_t));
}

uint32_t ReplyResultCode(const DeviceReply& r) {
    return GetLe(r.bytes + REPLY_RESULT_CODE_OFFSET, sizeof(uint32_t));
}
uint16_t ReplyDeviceState(const DeviceReply& r) {
    return static_cast<uint16_t>(GetLe(r.bytes + REPLY_DEVICE_STATE_OFFSET, sizeof(uint16_t)));
}
uint8_t ReplyProgressPercent(const DeviceReply& r) {
    return r.bytes[REPLY_PROGRESS_PERCENT_OFFSET];
}
uint8_t ReplyModelCode(const DeviceReply& r) {
    return r.bytes[REPLY_MODEL_CODE_OFFSET];
}
