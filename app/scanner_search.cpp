#include "app/scanner_search.h"

#include <cstdio>
#include <cstring>

#include "app/messages.h"

namespace {

bool IsTargetScanner(const DEVICE_DESCRIPTOR& descriptor) {
    return descriptor.usVendorId == TARGET_VENDOR_ID && descriptor.usProductId == TARGET_PRODUCT_ID;
}

}  // namespace

bool FindScanner(FoundScanner& found) {
    char name[DEVICE_NAME_SIZE];
    std::memset(name, 0, sizeof name);
    for (int number = FIRST_DEVICE_NUMBER; number <= LAST_DEVICE_NUMBER; ++number) {
        std::snprintf(name, sizeof name, DEVICE_NAME_FORMAT, number);
        // A synchronous handle: every transfer on it returns once it has ended.
        HANDLE device =
            CreateFileA(name, DEVICE_ACCESS, DEVICE_SHARE_MODE, nullptr, OPEN_EXISTING, DEVICE_FLAGS, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            continue;

        DEVICE_DESCRIPTOR descriptor;
        std::memset(&descriptor, 0, sizeof descriptor);
        DWORD returned = 0;
        if (!DeviceIoControl(device, IOCTL_GET_DEVICE_DESCRIPTOR, &descriptor, sizeof descriptor, &descriptor,
                             sizeof descriptor, &returned, nullptr)) {
            PrintMessage(MSG_DESCRIPTOR_ERROR, MessageLanguage);
            CloseHandle(device);
            continue;
        }
        if (IsTargetScanner(descriptor)) {
            found.device = device;
            std::snprintf(found.name, sizeof found.name, "%s", name);
            return true;
        }
        CloseHandle(device);
    }
    return false;
}
