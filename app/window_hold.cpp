#include "app/window_hold.h"

#include <cstdio>

#include "app/messages.h"
#include "platform/win32.h"

namespace {

// Room for one process: a console shared with a command prompt reports more than fits.
constexpr DWORD CONSOLE_PROCESS_SLOTS = 1;
constexpr DWORD ALONE = 1;

bool IsConsole(DWORD stdHandle) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(stdHandle), &mode) != FALSE;
}

void WaitForKeyPress() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    // Keys pressed while the update ran must not end the wait before the message is read.
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    DWORD read = 0;
    while (ReadConsoleInputA(input, &record, 1, &read)) {
        if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            return;
    }
}

}  // namespace

bool OwnsConsoleAlone() {
    DWORD processes[CONSOLE_PROCESS_SLOTS] = {};
    if (GetConsoleProcessList(processes, CONSOLE_PROCESS_SLOTS) != ALONE)
        return false;
    // A redirected handle is no console: a script reading the output must never be held up.
    return IsConsole(STD_INPUT_HANDLE) && IsConsole(STD_OUTPUT_HANDLE);
}

void HoldWindowForReading() {
    if (!OwnsConsoleAlone())
        return;
    PrintMessage(MSG_PRESS_ANY_KEY, MessageLanguage);
    std::fflush(stdout);
    WaitForKeyPress();
}
