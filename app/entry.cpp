#include "app/entry.h"

#include <cstdio>
#include <cstring>

#include "app/console_control.h"
#include "app/dll_search.h"
#include "app/messages.h"
#include "app/update_sequence.h"
#include "app/window_hold.h"
#include "host/app_lock.h"
#include "host/update_guard.h"

namespace {

constexpr char OPTION_ACCEPTED = 'a';
constexpr char OPTION_WITH_VALUE = 'b';
// The option letter is the second character: "-a", "/a" and "xa" are the same option.
constexpr int OPTION_LETTER_POSITION = 1;

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
        // One run at a time: before anything else of the update, and until the whole of it, the
        // restore included, has returned. A run that meets another's guard touches nothing.
        UpdateGuard guard = TakeUpdateGuard();
        if (guard.state == GuardState::HeldElsewhere)
            PrintMessage(MSG_ANOTHER_UPDATE_RUNNING, MessageLanguage);
        else
            UpdateSequence(found.device);  // the scanner's handle stays open until the process ends
        GiveUpUpdateGuard(guard);
    } else {
        PrintMessage(MSG_DEVICE_NOT_FOUND, MessageLanguage);
    }
    // A closing console has no one left to read it, and Windows ends the process within seconds.
    if (!CloseRequested())
        HoldWindowForReading();
    return 0;
}
