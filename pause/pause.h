// The update's pauses, which a user's request can cut short, and the requests themselves.
//
// Two threads share what is here: the main thread, which runs the update and pauses in it, and
// the thread that Windows creates for each console control event, which records the request and
// wakes the pause. Every member of ConsoleRequests is read and written with one SRW lock held, and
// neither thread waits while it holds the lock: the only wait under it is the pause's condition
// wait, which gives the lock up while it waits. A thread that finds the lock taken waits only for
// a flag, a wake-up or one warning line of the other, never for the service or the locks.
//
// Waking a pause is a condition variable that lives as long as the process: there is no handle to
// make, reset or close, so the handler can never signal something already gone, and the update's
// own calls keep the numbers they have in scenario files that fail calls by their number.
#pragma once

#include <utility>

#include "platform/win32.h"

// Where the update stands, as far as a console control event is concerned.
enum class UpdateStage {
    Outside,      // no handler installed: Windows' default handling holds
    Cancellable,  // nothing has reached the scanner's flash: any event cancels the update
    Burning,      // the scanner writes its flash: only a closing console is acted on
    Ending,       // the update has ended and the PC is being given back
};

struct ConsoleRequests {
    UpdateStage stage = UpdateStage::Outside;
    bool cancelled = false;         // an event came while the update could still be cancelled
    bool closing = false;           // the console closes, the user logs off or the system shuts down
    bool closeAnswered = false;     // the main thread has begun to act on `closing`
    bool progressLineOpen = false;  // the cursor stands right after a progress line
};

// With the lock held: does a request wait that the main thread must act on now?
bool RequestDue(const ConsoleRequests& requests);

namespace pause_detail {
void LockRequests();
void UnlockRequests();
ConsoleRequests& Requests();
}  // namespace pause_detail

// Runs `act` on the shared requests with the lock held and returns what it returns. `act` must not
// pause or wait, and must not call WithRequests itself.
template <typename Act>
decltype(auto) WithRequests(Act&& act) {
    pause_detail::LockRequests();
    struct Unlock {
        ~Unlock() { pause_detail::UnlockRequests(); }
    } unlock;
    return std::forward<Act>(act)(pause_detail::Requests());
}

// Wakes the main thread's pause, for it to look at the requests again. Called by the handler after
// recording a request the main thread must act on.
void WakePause();

// A pause of the main thread of `milliseconds`, cut short by a request it must act on. True when
// it ran its length. A wake-up that finds no such request pauses again for what is left; a
// condition wait that cannot be made still pauses, with Sleep, since the callers' loops count on
// the time passing.
bool Pause(DWORD milliseconds);
