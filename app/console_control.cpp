#include "app/console_control.h"

#include <cstdio>
#include <mutex>

#include "app/messages.h"

namespace {

enum class Stage { Outside, Cancellable, Burning, Ending };

// Everything the handler thread and the main thread share. Every member is read and written with
// g_sharedLock held, and neither thread waits or pauses while holding it, so the handler is never
// held up for longer than a flag, a signal or one warning line take. `wake` is used under the lock
// only: the main thread closes it after setting the stage to Outside, under the same lock, so the
// handler can never signal a closed handle.
struct Shared {
    Stage stage = Stage::Outside;
    bool cancelled = false;         // an event came while the update could still be cancelled
    bool closing = false;           // the console is closing, the user logs off or the system shuts down
    bool closeAnswered = false;     // the main thread has begun to act on `closing`
    bool progressLineOpen = false;  // the cursor stands right after a progress line
    HANDLE wake = nullptr;          // manual-reset; signalled while a request waits for the main thread
};

std::mutex g_sharedLock;
Shared g_shared;

bool IsClosing(DWORD event) {
    return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

// With the lock held: does a request wait that the main thread must act on now?
bool WakeDue(const Shared& s) {
    return (s.stage == Stage::Cancellable && s.cancelled) || (s.closing && !s.closeAnswered);
}

void Wake(const Shared& s) {
    if (s.wake != nullptr)
        SetEvent(s.wake);
}

// Runs on a thread that Windows creates for each event.
BOOL WINAPI ConsoleControlHandler(DWORD event) {
    const bool closing = IsClosing(event);
    if (!closing && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    {
        std::lock_guard<std::mutex> hold(g_sharedLock);
        Shared& s = g_shared;
        if (s.stage == Stage::Outside)
            return FALSE;  // nothing to give back: Windows' default
        if (closing || s.stage == Stage::Cancellable) {
            s.closing = s.closing || closing;
            if (s.stage == Stage::Cancellable)
                s.cancelled = true;
            Wake(s);
        } else if (s.stage == Stage::Burning) {
            // The scanner is writing its flash: stopping now could leave it without firmware.
            if (s.progressLineOpen)
                std::fputs("\n", stdout);
            PrintMessage(MSG_DO_NOT_INTERRUPT, MessageLanguage);
            std::fflush(stdout);
            s.progressLineOpen = false;
        }
        // While the update ends, Ctrl+C and Ctrl+Break wait for it: the PC is being given back.
    }
    // Returning ends the process at once after a close; the main thread's own end comes first.
    if (closing)
        Sleep(CLOSE_GRACE_MS);
    return TRUE;
}

}  // namespace

void ForgetConsoleRequests() {
    std::lock_guard<std::mutex> hold(g_sharedLock);
    g_shared = Shared{};
}

void BeginControlledUpdate() {
    // Without the event a pause cannot be cut short, but every request is still seen after it.
    HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard<std::mutex> hold(g_sharedLock);
        g_shared = Shared{};
        g_shared.wake = wake;
        g_shared.stage = Stage::Cancellable;
    }
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
}

bool EnterBurning() {
    std::lock_guard<std::mutex> hold(g_sharedLock);
    if (g_shared.cancelled)
        return false;
    g_shared.stage = Stage::Burning;
    return true;
}

void EnterEnding() {
    std::lock_guard<std::mutex> hold(g_sharedLock);
    g_shared.stage = Stage::Ending;
}

void EndControlledUpdate() {
    HANDLE wake;
    {
        std::lock_guard<std::mutex> hold(g_sharedLock);
        g_shared.stage = Stage::Outside;
        wake = g_shared.wake;
        g_shared.wake = nullptr;
    }
    SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
    if (wake != nullptr)
        CloseHandle(wake);
}

bool CancelRequested() {
    std::lock_guard<std::mutex> hold(g_sharedLock);
    return g_shared.stage == Stage::Cancellable && g_shared.cancelled;
}

bool CloseRequested() {
    std::lock_guard<std::mutex> hold(g_sharedLock);
    return g_shared.closing;
}

bool AnswerRequests() {
    std::lock_guard<std::mutex> hold(g_sharedLock);
    Shared& s = g_shared;
    if (s.stage == Stage::Cancellable && s.cancelled)
        s.stage = Stage::Ending;
    s.closeAnswered = s.closing;
    // Reset with the flags, under the lock: a request after this signals it again.
    if (s.wake != nullptr)
        ResetEvent(s.wake);
    return s.closing;
}

bool Pause(DWORD milliseconds) {
    HANDLE wake;
    {
        std::lock_guard<std::mutex> hold(g_sharedLock);
        if (WakeDue(g_shared))
            return false;
        // Only this thread closes the event, so it stays valid for the wait below.
        wake = g_shared.wake;
    }
    // A wait that cannot be made still pauses: the callers' loops count on the time passing.
    if (wake == nullptr || WaitForSingleObject(wake, milliseconds) == WAIT_FAILED)
        Sleep(milliseconds);
    std::lock_guard<std::mutex> hold(g_sharedLock);
    return !WakeDue(g_shared);
}

void PrintProgressLine(const char* format, const char* title, int percent) {
    std::lock_guard<std::mutex> hold(g_sharedLock);
    std::printf(format, title, percent);
    std::fflush(stdout);
    g_shared.progressLineOpen = true;
}
