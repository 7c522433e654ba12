// Simulated security functions of advapi32 that read descriptors and SIDs: the owner of a kernel
// object, the owner within a descriptor, and the well-known SIDs.
#include "sim/security.h"

#include <cstring>

#include "sim/machine.h"

namespace {

using sim::Ptr;

constexpr uint8_t NT_AUTHORITY = 5;
constexpr size_t SID_HEADER_BYTES = 8;
constexpr uint8_t MAX_SUB_AUTHORITIES = 15;
// SECURITY_DESCRIPTOR_RELATIVE: revision, padding, control, then the four offsets.
constexpr size_t RELATIVE_HEADER_BYTES = 20;
constexpr size_t OWNER_FIELD = 4, DACL_FIELD = 16;
constexpr size_t ACL_HEADER_BYTES = 8;
constexpr size_t ACE_HEADER_BYTES = 8;  // type, flags, size and the mask before the SID
constexpr uint8_t ACL_REVISION_DS = 4;
constexpr uint8_t ACCESS_DENIED_ACE_TYPE = 1;
// The user the simulated process runs as: S-1-5-21-1-2-3-1001, a local account's shape.
constexpr uint32_t USER_SUB_AUTHORITIES[] = {21, 1, 2, 3, 1001};

template <size_t N>
std::vector<uint8_t> NtSid(const uint32_t (&subAuthorities)[N]) {
    std::vector<uint8_t> sid = {SID_REVISION, static_cast<uint8_t>(N), 0, 0, 0, 0, 0, NT_AUTHORITY};
    for (uint32_t rid : subAuthorities)
        for (int i = 0; i < 4; ++i) sid.push_back(static_cast<uint8_t>(rid >> (8 * i)));
    return sid;
}

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(U16(p)) | static_cast<uint32_t>(U16(p + 2)) << 16;
}

// The length of a well-formed SID at `sid` that fits in `room` bytes, or 0.
size_t SidLength(const uint8_t* sid, size_t room) {
    if (room < SID_HEADER_BYTES || sid[0] != SID_REVISION || sid[1] > MAX_SUB_AUTHORITIES)
        return 0;
    const size_t length = SID_HEADER_BYTES + sizeof(uint32_t) * sid[1];
    return length <= room ? length : 0;
}

bool SameSid(const uint8_t* sid, const std::vector<uint8_t>& known) {
    const size_t length = SidLength(sid, known.size());
    return length == known.size() && std::memcmp(sid, known.data(), length) == 0;
}

// Reads an ACL into `facts`; false when it is malformed.
bool ReadAcl(const uint8_t* acl, sim::DescriptorFacts& facts) {
    if ((acl[0] != ACL_REVISION && acl[0] != ACL_REVISION_DS) || U16(acl + 2) < ACL_HEADER_BYTES)
        return false;
    const size_t size = U16(acl + 2);
    const uint16_t count = U16(acl + 4);
    bool privileged = true;
    size_t at = ACL_HEADER_BYTES;
    for (uint16_t i = 0; i < count; ++i) {
        if (size - at < ACE_HEADER_BYTES)
            return false;
        const uint8_t* ace = acl + at;
        const size_t aceSize = U16(ace + 2);
        if (aceSize < ACE_HEADER_BYTES || aceSize > size - at ||
            SidLength(ace + ACE_HEADER_BYTES, aceSize - ACE_HEADER_BYTES) == 0)
            return false;
        const uint8_t* sid = ace + ACE_HEADER_BYTES;
        if (ace[0] != ACCESS_DENIED_ACE_TYPE && !SameSid(sid, sim::AdministratorsSid()) &&
            !SameSid(sid, sim::LocalSystemSid()))
            privileged = false;
        at += aceSize;
    }
    facts.daclPrivileged = privileged;
    return true;
}

bool SelfRelative(const void* descriptor) {
    return (U16(static_cast<const uint8_t*>(descriptor) + 2) & SE_SELF_RELATIVE) != 0;
}

// The owner SID of a self-relative descriptor; null when it has none. An absolute descriptor holds
// pointers, and the simulated functions that build one set no owner: it has none here, and its
// pointers (which may be anything, when the call that should have set them failed) are never read.
const uint8_t* OwnerOf(const void* descriptor) {
    if (!SelfRelative(descriptor))
        return nullptr;
    const uint32_t offset = U32(static_cast<const uint8_t*>(descriptor) + OWNER_FIELD);
    return offset == 0 ? nullptr : static_cast<const uint8_t*>(descriptor) + offset;
}

}  // namespace

namespace sim {

std::vector<uint8_t> AdministratorsSid() {
    constexpr uint32_t rids[] = {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS};
    return NtSid(rids);
}
std::vector<uint8_t> LocalSystemSid() {
    constexpr uint32_t rids[] = {SECURITY_LOCAL_SYSTEM_RID};
    return NtSid(rids);
}
std::vector<uint8_t> UserSid() {
    return NtSid(USER_SUB_AUTHORITIES);
}

bool ProcessIsAdministrator() {
    return M().options.administrator;
}

std::optional<DescriptorFacts> ReadDescriptor(const void* descriptor) {
    DescriptorFacts facts;
    if (descriptor == nullptr)
        return facts;
    const auto* bytes = static_cast<const uint8_t*>(descriptor);
    if (bytes[0] != SECURITY_DESCRIPTOR_REVISION)
        return std::nullopt;
    const uint16_t control = U16(bytes + 2);
    const uint8_t* owner = OwnerOf(descriptor);
    if (owner != nullptr) {
        if (U32(bytes + OWNER_FIELD) < RELATIVE_HEADER_BYTES ||
            SidLength(owner, SID_HEADER_BYTES + sizeof(uint32_t) * MAX_SUB_AUTHORITIES) == 0)
            return std::nullopt;
        facts.ownerGiven = true;
        facts.ownerAdministrators = SameSid(owner, AdministratorsSid());
    }
    facts.daclPresent = (control & SE_DACL_PRESENT) != 0;
    if (!facts.daclPresent)
        return facts;
    // An absolute descriptor's DACL is told null or not by its pointer alone (see OwnerOf); a DACL
    // given there is taken to grant more than the privileged groups.
    if (!SelfRelative(descriptor)) {
        facts.daclNull = static_cast<const SECURITY_DESCRIPTOR*>(descriptor)->Dacl == nullptr;
        return facts;
    }
    const uint32_t offset = U32(bytes + DACL_FIELD);
    if (offset != 0 && offset < RELATIVE_HEADER_BYTES)
        return std::nullopt;
    facts.daclNull = offset == 0;
    if (offset != 0 && !ReadAcl(bytes + offset, facts))
        return std::nullopt;
    return facts;
}

}  // namespace sim

// Only the owner is served: what a program reads to tell who made an object.
BOOL WINAPI GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation,
                                    PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength, LPDWORD lpnLengthNeeded) {
    auto args = [&] {
        return Ptr(Handle) + ", " + sim::Hex(RequestedInformation) + ", " + Ptr(pSecurityDescriptor) + ", " +
               std::to_string(nLength);
    };
    if (sim::Enter("GetKernelObjectSecurity", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("GetKernelObjectSecurity", args, "FALSE (injected)");
        return FALSE;
    }
    auto fail = [&](DWORD error) {
        SetLastError(error);
        sim::TraceCall("GetKernelObjectSecurity", args, [&] { return "FALSE, error " + std::to_string(error); });
        return FALSE;
    };
    const sim::HandleObject* h = sim::FindHandle(Handle, sim::HandleKind::Mutex);
    if (h == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (RequestedInformation != OWNER_SECURITY_INFORMATION || lpnLengthNeeded == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    // Reading an object's security asks for READ_CONTROL on the handle.
    if ((h->access & READ_CONTROL) == 0)
        return fail(ERROR_ACCESS_DENIED);
    const sim::MutexObject& obj = sim::M().mutexes.objects.at(static_cast<size_t>(h->ref));
    const std::vector<uint8_t> owner = obj.ownerAdministrators ? sim::AdministratorsSid() : sim::UserSid();
    const DWORD needed = static_cast<DWORD>(RELATIVE_HEADER_BYTES + owner.size());
    *lpnLengthNeeded = needed;
    if (pSecurityDescriptor == nullptr || nLength < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    auto* out = reinterpret_cast<uint8_t*>(pSecurityDescriptor);
    std::memset(out, 0, RELATIVE_HEADER_BYTES);
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    out[2] = static_cast<uint8_t>(SE_SELF_RELATIVE & 0xFF);
    out[3] = static_cast<uint8_t>(SE_SELF_RELATIVE >> 8);
    out[OWNER_FIELD] = static_cast<uint8_t>(RELATIVE_HEADER_BYTES);
    std::memcpy(out + RELATIVE_HEADER_BYTES, owner.data(), owner.size());
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("GetKernelObjectSecurity", args, [&] {
        return std::string("TRUE, owner ") + (obj.ownerAdministrators ? "BUILTIN\\Administrators" : "the user");
    });
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pOwner,
                                       BOOL* lpbOwnerDefaulted) {
    auto args = [&] { return Ptr(pSecurityDescriptor); };
    if (sim::Enter("GetSecurityDescriptorOwner", ERROR_INVALID_SECURITY_DESCR)) {
        sim::TraceCall("GetSecurityDescriptorOwner", args, "FALSE (injected)");
        return FALSE;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(pSecurityDescriptor);
    DWORD error = ERROR_SUCCESS;
    if (pSecurityDescriptor == nullptr || pOwner == nullptr || lpbOwnerDefaulted == nullptr)
        error = ERROR_INVALID_PARAMETER;
    else if (bytes[0] != SECURITY_DESCRIPTOR_REVISION)
        error = 1305;  // unknown revision
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("GetSecurityDescriptorOwner", args, [&] { return "FALSE, error " + std::to_string(error); });
        return FALSE;
    }
    *pOwner = SelfRelative(pSecurityDescriptor) ? const_cast<uint8_t*>(OwnerOf(pSecurityDescriptor))
                                                : pSecurityDescriptor->Owner;
    *lpbOwnerDefaulted = (U16(bytes + 2) & SE_OWNER_DEFAULTED) != 0 ? TRUE : FALSE;
    sim::TraceCall("GetSecurityDescriptorOwner", args, [&] { return "TRUE, " + Ptr(*pOwner); });
    return TRUE;
}

// Only the two well-known SIDs a program of this host asks about are known.
BOOL WINAPI IsWellKnownSid(PSID pSid, WELL_KNOWN_SID_TYPE WellKnownSidType) {
    sim::Enter("IsWellKnownSid", ERROR_SUCCESS);
    const auto* sid = static_cast<const uint8_t*>(pSid);
    bool same = false;
    if (sid != nullptr && WellKnownSidType == WinBuiltinAdministratorsSid)
        same = SameSid(sid, sim::AdministratorsSid());
    else if (sid != nullptr && WellKnownSidType == WinLocalSystemSid)
        same = SameSid(sid, sim::LocalSystemSid());
    sim::TraceCall(
        "IsWellKnownSid", [&] { return Ptr(pSid) + ", " + std::to_string(WellKnownSidType); }, same ? "TRUE" : "FALSE");
    return same ? TRUE : FALSE;
}
