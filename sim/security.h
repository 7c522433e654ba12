// Security descriptors and SIDs on the simulated host: what a descriptor a program hands to a
// create call says, and the owner a kernel object reports.
//
// The simulated process is one user's; it is an administrator (its token holds
// BUILTIN\Administrators, which it may name as an object's owner) unless the run options say it is
// not. The only other identity the host knows is that user's own SID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

struct DescriptorFacts {
    bool ownerGiven = false;
    bool ownerAdministrators = false;  // the owner named is BUILTIN\Administrators
    bool daclPresent = false;
    bool daclNull = false;  // present but null: every process has every right
    // A present DACL that grants no right to anyone but SYSTEM and BUILTIN\Administrators.
    bool daclPrivileged = false;
};

// What a descriptor in absolute or self-relative form says; nothing when Windows would refuse it
// as malformed (ERROR_INVALID_SECURITY_DESCR). A null descriptor says nothing: every default.
std::optional<DescriptorFacts> ReadDescriptor(const void* descriptor);

// The SIDs the host knows, as their bytes.
std::vector<uint8_t> AdministratorsSid();
std::vector<uint8_t> LocalSystemSid();
std::vector<uint8_t> UserSid();

// Whether the process of this run is an administrator (RunOptions::administrator).
bool ProcessIsAdministrator();

}  // namespace sim
