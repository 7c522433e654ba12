#include "deploy/outcome.h"

#include <algorithm>

#include "app/messages.h"

namespace {

// What Windows Installer and every deployment engine read as "try again later" and as "done, a
// restart is needed"; 0 is success.
constexpr DWORD EXIT_SUCCESS_CODE = 0;
constexpr DWORD EXIT_RESTART_NEEDED = 3010;
constexpr DWORD EXIT_RETRY_LATER = 1618;

// clang-format off
const std::vector<OutcomeInfo> kOutcomes = {
    {Outcome::Updated, "updated", EXIT_SUCCESS_CODE, "updated: the scanner took the new firmware"},
    {Outcome::UpdatedRestartPending, "updated", EXIT_RESTART_NEEDED,
     "updated; the imaging service starts again with the next restart"},
    {Outcome::TryAgainLater, "try-again-later", EXIT_RETRY_LATER,
     "nothing was sent: the scanner or a scanning application was busy, or the run was cancelled; try again later"},
    {Outcome::NoScanner, "no-scanner", 10, "no scanner connected"},
    {Outcome::NotAdministrator, "not-administrator", 11, "not run with administrator rights: nothing was changed"},
    {Outcome::FailedBeforeSending, "failed-before-sending", 12,
     "failed before the firmware was sent: the scanner's flash is untouched"},
    {Outcome::FailedWhileSending, "failed-while-sending", 13,
     "failed while the firmware was sent or burned: power-cycle the scanner and run again"},
    {Outcome::ServiceLeftDisabled, "service-left-disabled", 14,
     "the imaging service is left disabled: set it to Automatic and restart"},
    {Outcome::UpdaterFailed, "updater-failed", 15,
     "scanfw.exe is missing, could not be started, was ended by the system, or its output was not understood"},
};
// clang-format on

// The messages that end a run, and what each means; the second outcome holds when "Access
// denied!!" came before (the rights were missing, not the scanner or the service).
struct Ending {
    MessageId message;
    Outcome outcome;
    Outcome afterAccessDenied;
};
constexpr Ending ENDINGS[] = {
    {MSG_BURN_DONE, Outcome::Updated, Outcome::Updated},
    {MSG_NOT_RESPONDED, Outcome::TryAgainLater, Outcome::TryAgainLater},
    {MSG_SCAN_APP_BUSY, Outcome::TryAgainLater, Outcome::TryAgainLater},
    {MSG_SECOND_APP_BUSY, Outcome::TryAgainLater, Outcome::TryAgainLater},
    {MSG_UPDATE_CANCELLED, Outcome::TryAgainLater, Outcome::TryAgainLater},
    {MSG_ANOTHER_UPDATE_RUNNING, Outcome::TryAgainLater, Outcome::TryAgainLater},
    {MSG_WIA_CLOSE_FAILED, Outcome::TryAgainLater, Outcome::NotAdministrator},
    {MSG_SCANNER_NOT_REGISTERED, Outcome::FailedBeforeSending, Outcome::NotAdministrator},
    {MSG_DEVICE_NOT_FOUND, Outcome::NoScanner, Outcome::NoScanner},
    {MSG_STATUS_ERROR, Outcome::FailedBeforeSending, Outcome::FailedBeforeSending},
    {MSG_COMMAND_ERROR, Outcome::FailedBeforeSending, Outcome::FailedBeforeSending},
    {MSG_FIND_RESOURCE_ERROR, Outcome::FailedBeforeSending, Outcome::FailedBeforeSending},
    {MSG_LOAD_RESOURCE_ERROR, Outcome::FailedBeforeSending, Outcome::FailedBeforeSending},
    {MSG_LOCK_RESOURCE_ERROR, Outcome::FailedBeforeSending, Outcome::FailedBeforeSending},
    {MSG_RESOURCE_EMPTY_ERROR, Outcome::FailedBeforeSending, Outcome::FailedBeforeSending},
    {MSG_FIRMWARE_DAMAGED, Outcome::FailedBeforeSending, Outcome::FailedBeforeSending},
    {MSG_DATA_ERROR, Outcome::FailedWhileSending, Outcome::FailedWhileSending},
    {MSG_BURN_ERROR, Outcome::FailedWhileSending, Outcome::FailedWhileSending},
};

// Messages that may follow an ending without changing it: the service's failed start after the
// restore, the warning of a Ctrl+C that came as the burn ended, and the window's key wait.
constexpr MessageId AFTER_ENDING[] = {MSG_WIA_START_FAILED, MSG_DO_NOT_INTERRUPT, MSG_PRESS_ANY_KEY};

const Ending* EndingOf(int message) {
    for (const Ending& e : ENDINGS)
        if (e.message == message)
            return &e;
    return nullptr;
}

bool Contains(const std::vector<int>& messages, int id) {
    return std::find(messages.begin(), messages.end(), id) != messages.end();
}

}  // namespace

const std::vector<OutcomeInfo>& Outcomes() {
    return kOutcomes;
}

const OutcomeInfo& InfoOf(Outcome outcome) {
    for (const OutcomeInfo& info : kOutcomes)
        if (info.outcome == outcome)
            return info;
    return kOutcomes.back();
}

Outcome OutcomeOfRun(bool started, DWORD exitCode, const std::vector<int>& messages) {
    if (!started)
        return Outcome::UpdaterFailed;
    // A service left disabled is what the PC's owner must act on, whatever came before.
    if (Contains(messages, MSG_WIA_RESTORE_FAILED))
        return Outcome::ServiceLeftDisabled;
    if (exitCode != 0)
        return Outcome::UpdaterFailed;
    // The last ending message; after it only the messages that leave it standing.
    auto last = std::find_if(messages.rbegin(), messages.rend(), [](int id) { return EndingOf(id) != nullptr; });
    if (last == messages.rend())
        return Outcome::UpdaterFailed;
    bool restartPending = false;
    for (auto after = messages.rbegin(); after != last; ++after) {
        if (std::find(std::begin(AFTER_ENDING), std::end(AFTER_ENDING), *after) == std::end(AFTER_ENDING))
            return Outcome::UpdaterFailed;
        restartPending = restartPending || *after == MSG_WIA_START_FAILED;
    }
    const Ending& ending = *EndingOf(*last);
    const bool accessDenied = std::find(last + 1, messages.rend(), MSG_ACCESS_DENIED) != messages.rend();
    if (ending.outcome == Outcome::Updated && restartPending)
        return Outcome::UpdatedRestartPending;
    return accessDenied ? ending.afterAccessDenied : ending.outcome;
}
