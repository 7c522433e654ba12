#include "firmware/firmware_image.h"

#include "platform/win32.h"

FirmwareChoice SelectFirmwareImage(uint8_t modelCode) {
    if (modelCode == MODEL_CODE_LARGE)
        return {FIRMWARE_RESOURCE_LARGE, IMAGE_KIND_LARGE};
    return {FIRMWARE_RESOURCE_STANDARD, IMAGE_KIND_STANDARD};
}

FirmwareImage LoadFirmwareImage(int resourceId) {
    // The own module; looked up without a language, so the only language stored is found.
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(resourceId), FIRMWARE_RESOURCE_TYPE);
    if (found == nullptr)
        return {false, nullptr, 0, MSG_FIND_RESOURCE_ERROR};
    HGLOBAL loaded = LoadResource(nullptr, found);
    if (loaded == nullptr)
        return {false, nullptr, 0, MSG_LOAD_RESOURCE_ERROR};
    const void* data = LockResource(loaded);
    if (data == nullptr)
        return {false, nullptr, 0, MSG_LOCK_RESOURCE_ERROR};
    DWORD size = SizeofResource(nullptr, found);
    if (size == 0)
        return {false, nullptr, 0, MSG_RESOURCE_EMPTY_ERROR};
    // A view of the mapped executable: valid until the process ends, never copied or freed.
    return {true, static_cast<const uint8_t*>(data), size, MSG_FIND_RESOURCE_ERROR};
}
