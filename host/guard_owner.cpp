#include "host/guard_owner.h"

namespace {

// Room for a self-relative descriptor that holds only an owner, of the longest SID there is.
constexpr DWORD OWNER_DESCRIPTOR_BYTES = 128;

}  // namespace

// Read into a buffer of our own, so that nothing is allocated with LocalAlloc, another call the
// update numbers.
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

// Not with CloseHandle: scenario files fail CloseHandle by the number of its call, and the guard's
// handles must not shift that numbering. With DUPLICATE_CLOSE_SOURCE the source handle is closed
// whatever DuplicateHandle returns.
void CloseGuardHandle(HANDLE handle) {
    DuplicateHandle(GetCurrentProcess(), handle, nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
}
