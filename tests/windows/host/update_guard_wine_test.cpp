// The update guard under Wine: the descriptor laid out in constant bytes is what Windows reads back
// from the mutex made with it, and a run meets another run's guard, a look-alike and a given-up one
// as it should.
#include "host/update_guard.h"

#include <gtest/gtest.h>
// Test-only: the descriptor as Windows reads it back, in its string form.
#include <sddl.h>

#include <string>

#include "host/guard_descriptor.h"

namespace {

// Owner BUILTIN\Administrators; a DACL of two entries, each every right of a mutex,
// for SYSTEM and then BUILTIN\Administrators.
const std::string READ_BACK = "O:BAD:(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)";

// The owner and DACL of the object behind `handle`, as Windows writes them in SDDL.
std::string OwnerAndDacl(HANDLE handle) {
    DWORD needed = 0;
    const SECURITY_INFORMATION asked = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    GetKernelObjectSecurity(handle, asked, nullptr, 0, &needed);
    std::string descriptor(needed, '\0');
    char* text = nullptr;
    if (!GetKernelObjectSecurity(handle, asked, descriptor.data(), needed, &needed) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1, asked, &text,
                                                              nullptr))
        return "unreadable, error " + std::to_string(GetLastError());
    std::string read = text;
    LocalFree(text);
    return read;
}

TEST(UpdateGuardUnderWine, TheDescriptorIsWhatWindowsReadsBack) {
    // Windows takes the constant bytes as a valid self-relative descriptor...
    void* descriptor = const_cast<uint8_t*>(UPDATE_GUARD_DESCRIPTOR.data());
    EXPECT_TRUE(IsValidSecurityDescriptor(descriptor));
    EXPECT_EQ(GetSecurityDescriptorLength(descriptor), UPDATE_GUARD_DESCRIPTOR.size());
    char* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
    EXPECT_EQ(std::string(text), READ_BACK);
    LocalFree(text);
    // ... and the mutex made with them carries that owner and DACL.
    UpdateGuard guard = TakeUpdateGuard();
    ASSERT_EQ(guard.state, GuardState::Held);
    HANDLE reader = OpenMutexA(READ_CONTROL, FALSE, UPDATE_GUARD_NAME);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(OwnerAndDacl(reader), READ_BACK);
    CloseHandle(reader);
    GiveUpUpdateGuard(guard);
}

TEST(UpdateGuardUnderWine, ASecondRunMeetsTheFirstsGuardUntilItIsGivenUp) {
    UpdateGuard first = TakeUpdateGuard();
    ASSERT_EQ(first.state, GuardState::Held);
    UpdateGuard second = TakeUpdateGuard();
    EXPECT_EQ(second.state, GuardState::HeldElsewhere);
    EXPECT_EQ(second.handle, nullptr);
    GiveUpUpdateGuard(first);
    // Given up and closed: the name is gone with its last handle.
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, UPDATE_GUARD_NAME), nullptr);
    UpdateGuard third = TakeUpdateGuard();
    EXPECT_EQ(third.state, GuardState::Held);
    GiveUpUpdateGuard(third);
}

TEST(UpdateGuardUnderWine, ALookAlikeClosedToEveryoneGuardsNothing) {
    // A squatter's mutex of the name whose empty DACL shuts everyone out: the run goes on.
    SECURITY_DESCRIPTOR closed;
    ASSERT_TRUE(InitializeSecurityDescriptor(&closed, SECURITY_DESCRIPTOR_REVISION));
    ACL empty;
    ASSERT_TRUE(InitializeAcl(&empty, sizeof empty, ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&closed, TRUE, &empty, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &closed, FALSE};
    HANDLE squatter = CreateMutexA(&attributes, FALSE, UPDATE_GUARD_NAME);
    ASSERT_NE(squatter, nullptr);
    UpdateGuard guard = TakeUpdateGuard();
    EXPECT_EQ(guard.state, GuardState::None);
    GiveUpUpdateGuard(guard);
    CloseHandle(squatter);
}

}  // namespace
