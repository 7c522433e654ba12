#include "host/update_guard.h"

#include "host/guard_descriptor.h"
#include "host/guard_owner.h"

UpdateGuard TakeUpdateGuard() {
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    // Windows reads the descriptor and never writes it: it may stay in constant memory.
    attributes.lpSecurityDescriptor = const_cast<uint8_t*>(UPDATE_GUARD_DESCRIPTOR.data());
    attributes.bInheritHandle = FALSE;
    // Without administrator rights this fails, as it does when another run's guard may not be
    // opened by this user: either way the update goes on as it always has.
    HANDLE mutex = CreateMutexExA(&attributes, UPDATE_GUARD_NAME, 0, UPDATE_GUARD_ACCESS);
    if (mutex == nullptr)
        return {};
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        return {GuardState::Held, mutex};
    // The name exists: another run's guard, or a squatter's mutex that guards nothing.
    const bool anotherRun = OwnedByAdministrators(mutex);
    CloseGuardHandle(mutex);
    return {anotherRun ? GuardState::HeldElsewhere : GuardState::None, nullptr};
}

void GiveUpUpdateGuard(UpdateGuard& guard) {
    if (guard.state == GuardState::Held)
        CloseGuardHandle(guard.handle);
    guard = UpdateGuard{};
}
