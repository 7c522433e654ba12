// Whether another scanfw.exe holds the update guard now: the mutex of the guard's name, owned by
// BUILTIN\Administrators, as the updater tells a genuine guard from a name someone else took.
// It is only ever opened, after the two locks so that their OpenMutexA calls keep their numbers,
// and closed as the updater closes the guard's handles, so that the capture file's CloseHandle
// calls keep theirs.
#include "host/guard_owner.h"
#include "host/update_guard.h"
#include "probe/capture.h"

namespace {

constexpr const char* STEP = "updateGuard";

}  // namespace

void CaptureUpdateGuard(Capture& capture) {
    JsonValue seen = JsonObject();
    HANDLE guard = OpenMutexA(UPDATE_GUARD_ACCESS, FALSE, UPDATE_GUARD_NAME);
    const DWORD error = guard == nullptr ? GetLastError() : ERROR_SUCCESS;
    Add(seen, "openError", JsonNumber(error));
    bool held = false;
    if (guard != nullptr) {
        held = OwnedByAdministrators(guard);
        Add(seen, "ownerAdministrators", JsonBool(held));
        CloseGuardHandle(guard);
    } else if (error != ERROR_FILE_NOT_FOUND) {
        // ERROR_ACCESS_DENIED among them: a genuine guard admits SYSTEM and administrators alone, so
        // a user who may not open it cannot take part in it either, and this user's updater goes
        // on as if there were none. Which it is stays unknown, and the note says it was there.
        Add(seen, "ownerAdministrators", JsonValue{});
        Note(capture, STEP, "OpenMutexA", UPDATE_GUARD_NAME, error);
    }
    if (held)
        Add(capture.scenario, "otherUpdater", JsonBool(true));
    Add(capture.probe, "updateGuard", std::move(seen));
}
