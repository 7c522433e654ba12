// What a run of scanfw.exe came to, told to fleet tools by one exit code per outcome. The codes
// are part of the deploy's interface from this version on: engines are set up with them.
#pragma once

#include <vector>

#include "platform/win32.h"

enum class Outcome {
    Updated,                // the scanner took the new firmware
    UpdatedRestartPending,  // ... and the imaging service starts again only with the next restart
    TryAgainLater,          // something in use or busy, or a cancel: nothing was sent
    NoScanner,              // no scanner connected
    NotAdministrator,       // run without administrator rights: nothing changed
    FailedBeforeSending,    // the scanner's flash is untouched
    FailedWhileSending,     // the scanner may need a power cycle and another run
    ServiceLeftDisabled,    // the imaging service could not be set back to automatic start
    UpdaterFailed,          // scanfw.exe missing, not startable, ended by the system, or not understood
};

struct OutcomeInfo {
    Outcome outcome;
    // In the log, the JSON record and the detection value. Both updated outcomes are "updated":
    // the firmware is in, which is what detection asks; the exit code tells them apart.
    const char* name;
    DWORD exitCode;
    const char* meaning;  // one line for the log and standard error
};

// The one table of outcomes and their exit codes.
const std::vector<OutcomeInfo>& Outcomes();
const OutcomeInfo& InfoOf(Outcome outcome);

// The deploy's own command line could not be read.
constexpr DWORD EXIT_BAD_COMMAND_LINE = 16;

// The outcome of a run from what scanfw.exe printed (catalogue ids, in order) and how it ended.
// `started` false: it never ran. An exit code other than 0 means the system ended it (scanfw.exe
// itself always returns 0).
Outcome OutcomeOfRun(bool started, DWORD exitCode, const std::vector<int>& messages);
