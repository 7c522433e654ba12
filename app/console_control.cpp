#include "app/console_control.h"

#include <cstdio>

#include "app/messages.h"
#include "pause/pause.h"

namespace {

bool IsClosing(DWORD event) {
    return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

// Runs on a thread that Windows creates for each event.
BOOL WINAPI ConsoleControlHandler(DWORD event) {
    const bool closing = IsClosing(event);
    if (!closing && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    const bool ours = WithRequests([&](ConsoleRequests& r) {
        if (r.stage == UpdateStage::Outside)
            return false;  // nothing to give back: Windows' default
        if (closing || r.stage == UpdateStage::Cancellable) {
            r.closing = r.closing || closing;
            if (r.stage == UpdateStage::Cancellable)
                r.cancelled = true;
            WakePause();
        } else if (r.stage == UpdateStage::Burning) {
            // The scanner is writing its flash: stopping now could leave it without firmware.
            if (r.progressLineOpen)
                std::fputs("\n", stdout);
            PrintMessage(MSG_DO_NOT_INTERRUPT, MessageLanguage);
            std::fflush(stdout);
            r.progressLineOpen = false;
        }
        // While the update ends, Ctrl+C and Ctrl+Break wait for it: the PC is being given back.
        return true;
    });
    if (!ours)
        return FALSE;
    // Returning ends the process at once after a close; the main thread's own end comes first.
    if (closing)
        Sleep(CLOSE_GRACE_MS);
    return TRUE;
}

}  // namespace

void ForgetConsoleRequests() {
    WithRequests([](ConsoleRequests& r) { r = ConsoleRequests{}; });
}

void BeginControlledUpdate() {
    WithRequests([](ConsoleRequests& r) {
        r = ConsoleRequests{};
        r.stage = UpdateStage::Cancellable;
    });
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
}

bool EnterBurning() {
    return WithRequests([](ConsoleRequests& r) {
        if (r.cancelled)
            return false;
        r.stage = UpdateStage::Burning;
        return true;
    });
}

void EnterEnding() {
    WithRequests([](ConsoleRequests& r) { r.stage = UpdateStage::Ending; });
}

void EndControlledUpdate() {
    WithRequests([](ConsoleRequests& r) { r.stage = UpdateStage::Outside; });
    SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
}

bool CancelRequested() {
    return WithRequests([](const ConsoleRequests& r) { return r.stage == UpdateStage::Cancellable && r.cancelled; });
}

bool CloseRequested() {
    return WithRequests([](const ConsoleRequests& r) { return r.closing; });
}

bool AnswerRequests() {
    return WithRequests([](ConsoleRequests& r) {
        if (r.stage == UpdateStage::Cancellable && r.cancelled)
            r.stage = UpdateStage::Ending;
        // Answered with the flags, under the lock: a request after this wakes the pauses again.
        r.closeAnswered = r.closing;
        return r.closing;
    });
}

void PrintProgressLine(const char* format, const char* title, int percent) {
    WithRequests([&](ConsoleRequests& r) {
        std::printf(format, title, percent);
        std::fflush(stdout);
        r.progressLineOpen = true;
    });
}
