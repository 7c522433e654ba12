// The two firmware images carried as BINARY resources of the executable, the choice between
// them by the scanner's model byte, and their loading as a read-only view.
#pragma once

#include <cstdint>

#include "app/messages.h"

constexpr int FIRMWARE_RESOURCE_STANDARD = 121;
constexpr int FIRMWARE_RESOURCE_LARGE = 131;
constexpr uint16_t IMAGE_KIND_STANDARD = 4;
constexpr uint16_t IMAGE_KIND_LARGE = 0x1004;
constexpr uint8_t MODEL_CODE_LARGE = 8;
constexpr const char* FIRMWARE_RESOURCE_TYPE = "BINARY";

struct FirmwareChoice {
    int resourceId;
    uint16_t imageKind;
};

// A loaded image: a view of the mapped resource, valid until the process ends. On failure
// `failure` names the message to print (5, 6, 7 or 8) and data is null.
struct FirmwareImage {
    bool loaded;
    const uint8_t* data;
    uint32_t length;
    MessageId failure;
};

FirmwareChoice SelectFirmwareImage(uint8_t modelCode);
FirmwareImage LoadFirmwareImage(int resourceId);
