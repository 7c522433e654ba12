#include "host/update_guard.h"

#include "host/guard_descriptor.h"

namespace {

// Room for a self-relative descriptor that holds only an owner, of the longest SID there is.
constexpr DWORD OWNER_DESCRIPTOR_BYTES = 128;

// Closes a handle of this process. Not with CloseHandle: scenario files fail CloseHandle by the
// number of its call, and the guard's handles must not shift that numbering. With
// DUPLICATE_CLOSE_SOURCE the source handle is closed whatever DuplicateHandle returns.
void CloseGuardHandle(HANDLE handle) {
    DuplicateHandle(GetCurrentProcess(), handle, nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
}

// Whether the mutex's owner is BUILTIN\Administrators: read into a buffer of our own, so that
// nothing is allocated with LocalAlloc, another call the update numbers. False when it cannot be read.
bool OwnedByAdministrators(HANDLE mutex) {
    alignas(sizeof(void*)) BYTE descriptor[OWNER_DESCRIPTOR_BYTES];
    DWORD needed = 0;
    if (!GetKernelObjectSecurity(mutex, OWNER_SECURITY_INFORMATION, reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptor),
                                 sizeof descriptor, &needed))
        return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptor), &owner, &defaulted) ||
        owner == nullptr)
        return false;
    return IsWellKnownSid(owner, WinBuiltinAdministratorsSid) != FALSE;
}

}  // namespace

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
