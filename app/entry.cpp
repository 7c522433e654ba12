#include "app/entry.h"

#include <cstdio>
#include <cstring>

#include "app/console_control.h"
#include "app/dll_search.h"
#include "app/messages.h"
#include "app/update_sequence.h"
#include "app/window_hold.h"
#include "host/app_lock.h"

namespace {

constexpr char OPTION_ACCEPTED = 'a';
constexpr char OPTION_WITH_VALUE = 'b';
// The option letter is the second character: "-a", "/a" and "xa" are the same option.
constexpr int OPTION_LETTER_POSITION = 1;

bool IsTargetScanner(const DEVICE_DESCRIPTOR& descriptor) {
    return descriptor.usVendorId == TARGET_VENDOR_ID && descriptor.usProductId == TARGET_PRODUCT_ID;
}

}  // namespace

void ReadCommandLine(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || std::strlen(arg) <= OPTION_LETTER_POSITION)
            continue;
        switch (arg[OPTION_LETTER_POSITION]) {
            case OPTION_ACCEPTED:
                break;
            case OPTION_WITH_VALUE:
                // The value is consumed unexamined, even when it looks like an option.
                if (i + 1 < argc)
                    ++i;
                else
                    PrintMessage(MSG_NO_FOLLOWING_ARGUMENT, MessageLanguage);
                break;
            default:
                break;
        }
    }
}

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

int UpdaterMain(int argc, char* argv[]) {
    RestrictDllSearch();
    g_scanAppLock = INVALID_HANDLE_VALUE;
    g_secondAppLock = INVALID_HANDLE_VALUE;
    // A fresh process starts with these empty; clearing them keeps a second run in the same
    // process (the host tests) from seeing the first one's values.
    std::memset(g_devicePath, 0, sizeof g_devicePath);
    std::memset(g_friendlyName, 0, sizeof g_friendlyName);
    ForgetConsoleRequests();

    MessageLanguage = MessageLanguageFor(GetUserDefaultLangID());
    ReadCommandLine(argc, argv);

    FoundScanner found;
    if (FindScanner(found)) {
        std::snprintf(g_devicePath, sizeof g_devicePath, "%s", found.name);
        PrintMessage(MSG_DEVICE_FOUND, MessageLanguage);
        // The scanner's handle stays open until the process ends.
        UpdateSequence(found.device);
    } else {
        PrintMessage(MSG_DEVICE_NOT_FOUND, MessageLanguage);
    }
    // A closing console has no one left to read it, and Windows ends the process within seconds.
    if (!CloseRequested())
        HoldWindowForReading();
    return 0;
}
