// Program entry and the search for the scanner among the still-image driver's devices.
#pragma once

#include <cstdint>

#include "app/messages.h"
#include "platform/win32.h"

constexpr uint16_t TARGET_VENDOR_ID = 0x2A7B;
constexpr uint16_t TARGET_PRODUCT_ID = 0x41C3;

constexpr int DEVICE_PATH_SIZE = 256;
constexpr int DEVICE_NAME_SIZE = 200;
constexpr int FIRST_DEVICE_NUMBER = 0;
constexpr int LAST_DEVICE_NUMBER = 255;
constexpr const char* DEVICE_NAME_FORMAT = "\\\\.\\usbscan%d";
// How every still-image device is opened: a synchronous handle for commands and data.
constexpr DWORD DEVICE_ACCESS = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD DEVICE_SHARE_MODE = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD DEVICE_FLAGS = FILE_ATTRIBUTE_SYSTEM;

// The still-image driver's descriptor request and its 8-byte answer.
constexpr DWORD IOCTL_GET_DEVICE_DESCRIPTOR = 0x80002018;
struct DEVICE_DESCRIPTOR {
    uint16_t usVendorId;
    uint16_t usProductId;
    uint16_t usBcdDevice;
    uint16_t usLanguageId;
};
static_assert(sizeof(DEVICE_DESCRIPTOR) == 8, "the driver answers with exactly 8 bytes");

// The device name of the scanner being updated, for the registry lookup of its FriendlyName
// (host/friendly_name.cpp).
extern char g_devicePath[DEVICE_PATH_SIZE];

struct FoundScanner {
    HANDLE device;
    char name[DEVICE_NAME_SIZE];
};

// Reads the command line; it changes nothing in the run but may print message 0.
void ReadCommandLine(int argc, char* argv[]);
// Tries usbscan0 to usbscan255 and returns true with the first target scanner, still open.
bool FindScanner(FoundScanner& found);
// The whole run; the process exit code, always 0.
int UpdaterMain(int argc, char* argv[]);
