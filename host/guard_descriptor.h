// The security descriptor of the update guard, laid out at compile time as the bytes of a
// self-relative descriptor: owner BUILTIN\Administrators, and a DACL that grants the mutex's
// rights to SYSTEM and BUILTIN\Administrators alone.
//
// Held in constant bytes rather than built at run time: InitializeSecurityDescriptor, SetSecurity-
// DescriptorDacl and LocalAlloc are calls the updater already makes for the application locks, and
// a scenario file numbers those calls; the guard must not shift their numbering.
//
// The layout, all numbers little-endian but a SID's authority (six bytes, big-endian):
//   SECURITY_DESCRIPTOR_RELATIVE  Revision, Sbz1, Control (16), Owner, Group, Sacl, Dacl (32-bit offsets)
//   SID                           Revision, SubAuthorityCount, IdentifierAuthority[6], SubAuthority[] (32)
//   ACL                           AclRevision, Sbz1, AclSize (16), AceCount (16), Sbz2 (16)
//   ACCESS_ALLOWED_ACE            AceType, AceFlags, AceSize (16), Mask (32), then its SID
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace guard_descriptor {

// A SID of the NT authority (S-1-5-...) with up to two sub-authorities.
struct NtSid {
    uint8_t subAuthorityCount;
    uint32_t subAuthorities[2];
};
constexpr uint8_t NT_AUTHORITY = 5;
constexpr size_t SID_AUTHORITY_BYTES = 6;
constexpr NtSid LOCAL_SYSTEM = {1, {SECURITY_LOCAL_SYSTEM_RID, 0}};                            // S-1-5-18
constexpr NtSid ADMINISTRATORS = {2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};  // S-1-5-32-544

constexpr size_t HEADER_BYTES = 20;  // SECURITY_DESCRIPTOR_RELATIVE
constexpr size_t SID_HEADER_BYTES = 8;
constexpr size_t ACL_HEADER_BYTES = 8;
constexpr size_t ACE_HEADER_BYTES = 8;  // type, flags, size and the mask before the SID
constexpr uint16_t ACE_COUNT = 2;
constexpr DWORD GRANTED_RIGHTS = MUTEX_ALL_ACCESS;

constexpr size_t SidBytes(const NtSid& sid) {
    return SID_HEADER_BYTES + sizeof(uint32_t) * sid.subAuthorityCount;
}
constexpr size_t AceBytes(const NtSid& sid) {
    return ACE_HEADER_BYTES + SidBytes(sid);
}

// Where each part lies: the header, the owner, then the DACL; no group and no SACL.
constexpr size_t OWNER_OFFSET = HEADER_BYTES;
constexpr size_t DACL_OFFSET = OWNER_OFFSET + SidBytes(ADMINISTRATORS);
constexpr size_t ACL_BYTES = ACL_HEADER_BYTES + AceBytes(LOCAL_SYSTEM) + AceBytes(ADMINISTRATORS);
constexpr size_t DESCRIPTOR_BYTES = DACL_OFFSET + ACL_BYTES;
constexpr uint16_t CONTROL = SE_SELF_RELATIVE | SE_DACL_PRESENT;
constexpr uint32_t ABSENT = 0;  // the offset of a part the descriptor does not have

using Bytes = std::array<uint8_t, DESCRIPTOR_BYTES>;

// Appends numbers to the descriptor's bytes in the order they are laid out.
class Layout {
public:
    constexpr void U8(uint32_t value) { bytes_[at_++] = static_cast<uint8_t>(value); }
    constexpr void U16(uint32_t value) {
        U8(value);
        U8(value >> 8);
    }
    constexpr void U32(uint32_t value) {
        U16(value);
        U16(value >> 16);
    }
    constexpr void Sid(const NtSid& sid) {
        U8(SID_REVISION);
        U8(sid.subAuthorityCount);
        for (size_t i = 0; i + 1 < SID_AUTHORITY_BYTES; ++i) U8(0);
        U8(NT_AUTHORITY);
        for (uint8_t i = 0; i < sid.subAuthorityCount; ++i) U32(sid.subAuthorities[i]);
    }
    constexpr void AllowedAce(const NtSid& sid) {
        U8(ACCESS_ALLOWED_ACE_TYPE);
        U8(0);  // no inheritance flags: the mutex has no children
        U16(static_cast<uint32_t>(AceBytes(sid)));
        U32(GRANTED_RIGHTS);
        Sid(sid);
    }
    constexpr size_t At() const { return at_; }
    constexpr const Bytes& Get() const { return bytes_; }

private:
    Bytes bytes_{};
    size_t at_ = 0;
};

constexpr Layout Make() {
    Layout out;
    out.U8(SECURITY_DESCRIPTOR_REVISION);
    out.U8(0);
    out.U16(CONTROL);
    out.U32(OWNER_OFFSET);
    out.U32(ABSENT);  // group
    out.U32(ABSENT);  // SACL
    out.U32(DACL_OFFSET);
    out.Sid(ADMINISTRATORS);
    out.U8(ACL_REVISION);
    out.U8(0);
    out.U16(ACL_BYTES);
    out.U16(ACE_COUNT);
    out.U16(0);
    out.AllowedAce(LOCAL_SYSTEM);
    out.AllowedAce(ADMINISTRATORS);
    return out;
}
// Every byte written; one past the end would not compile either.
static_assert(Make().At() == DESCRIPTOR_BYTES, "the guard's descriptor is laid out to its size");

}  // namespace guard_descriptor

// Aligned as Windows expects a descriptor and the SIDs in it to be.
alignas(sizeof(void*)) constexpr guard_descriptor::Bytes UPDATE_GUARD_DESCRIPTOR = guard_descriptor::Make().Get();
