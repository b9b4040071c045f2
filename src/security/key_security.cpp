#include "security/key_security.h"

#include "platform/win_api.h"

namespace tkr {
namespace {

constexpr SECURITY_INFORMATION kOwnerAndDacl =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
// The group too: the repair's DACL stands for CREATOR GROUP by it.
constexpr SECURITY_INFORMATION kSavedParts = kOwnerAndDacl | GROUP_SECURITY_INFORMATION;

EXPLICIT_ACCESS_W MakeEntry(PSID sid, TRUSTEE_TYPE type, DWORD access, DWORD inheritanceFlags) {
    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = access;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = inheritanceFlags;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = type;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return entry;
}

// A SID with room for two sub-authorities.
struct WellKnownSid {
    SID sid;
    DWORD more;
};
const WellKnownSid kAdministrators{
    {SID_REVISION, 2, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID}},
    DOMAIN_ALIAS_RID_ADMINS};
const WellKnownSid kEveryone{{SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}},
                             0};

// Writes the repair's DACL to the key the handle holds: a descriptor computed for this key alone,
// so that nothing below it is written. `before` is the key's descriptor, or empty when it is to be
// read through the handle; `owner` is the key's owner as the write leaves it.
[[nodiscard]] DWORD WriteRepairDacl(HKEY handle, const TreeKey& key, const RepairDacl& dacl,
                                    const Bytes& before, const SID* owner) {
    Bytes read;
    if (before.empty()) {
        if (const DWORD status = ReadKeySecurity(handle, kSavedParts, read)) {
            return status;
        }
    }
    DescriptorParts parts;
    if (!ParseDescriptor(before.empty() ? read : before, parts)) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    Bytes descriptor = RepairedDaclDescriptor(
        dacl.Acl(), parts, owner != nullptr ? owner : parts.owner, key.ParentSecurity());
    if (descriptor.empty()) {
        return ERROR_INVALID_ACL;
    }
    return win::RegSetKeySecurity(handle, DACL_SECURITY_INFORMATION, descriptor.data());
}

// Makes Administrators the owner through a handle opened with the take-ownership privilege on,
// which grants at the open what the key's DACL may not. The descriptor carries the DACL flags as
// the key has them now, so that the owner write keeps them everywhere.
[[nodiscard]] DWORD WriteOwner(const TreeKey& key, const RepairDacl& dacl, const Bytes& before,
                               bool repaired) {
    UniqueKey owned;
    if (const DWORD status = key.Open(WRITE_OWNER, owned)) {
        return status;
    }
    DescriptorParts parts;
    SECURITY_DESCRIPTOR_CONTROL flags = ParseDescriptor(before, parts) ? parts.control : 0;
    if (repaired) {
        flags = static_cast<SECURITY_DESCRIPTOR_CONTROL>((flags & SE_DACL_PROTECTED) |
                                                         SE_DACL_AUTO_INHERITED);
    }
    Bytes descriptor = OwnerDescriptor(static_cast<const SID*>(dacl.Administrators()), flags);
    return win::RegSetKeySecurity(owned.get(), OWNER_SECURITY_INFORMATION, descriptor.data());
}

} // namespace

const SID& AdministratorsSid() {
    return kAdministrators.sid;
}
const SID& EveryoneSid() {
    return kEveryone.sid;
}

RepairDacl::RepairDacl(DWORD inheritanceFlags) : flags_(inheritanceFlags) {
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    if (!win::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                       everyone_.put())) {
        built_ = {RepairStep::EveryoneSid, win::GetLastError()};
    } else if (!win::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                              DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                              admins_.put())) {
        built_ = {RepairStep::AdministratorsSid, win::GetLastError()};
    } else {
        EXPLICIT_ACCESS_W entries[2] = {
            MakeEntry(everyone_.get(), TRUSTEE_IS_WELL_KNOWN_GROUP, GENERIC_READ, inheritanceFlags),
            MakeEntry(admins_.get(), TRUSTEE_IS_GROUP, GENERIC_ALL, inheritanceFlags),
        };
        if (const DWORD status = win::SetEntriesInAclW(2, entries, nullptr, acl_.put())) {
            built_ = {RepairStep::Acl, status};
        }
    }
}

RepairResult RepairKeySecurity(const TreeKey& key, const RepairDacl& dacl,
                               const ProcessToken& token, const Bytes& before) {
    if (dacl.Built().stoppedAt != RepairStep::None) {
        return dacl.Built();
    }
    if (key.ParentSecurityError() != ERROR_SUCCESS) {
        return {RepairStep::InheritedFrom, key.ParentSecurityError()};
    }
    // Without the key's descriptor, a write must read it first.
    const REGSAM access = WRITE_DAC | (before.empty() ? READ_CONTROL : 0);
    RepairResult result;
    result.code = key.With(
        access, [&](HKEY handle) { return WriteRepairDacl(handle, key, dacl, before, nullptr); });
    result.firstWriteDenied = result.code == ERROR_ACCESS_DENIED;
    auto stop = [&result](RepairStep step, DWORD code) {
        result.stoppedAt = step;
        result.code = code;
        return result;
    };
    if (result.code != ERROR_SUCCESS && !result.firstWriteDenied) {
        return stop(RepairStep::FirstWrite, result.code);
    }
    // The ownership pass: as owner, Administrators may always write the DACL.
    if (token.OpenError() != ERROR_SUCCESS) {
        return stop(RepairStep::Token, token.OpenError());
    }
    if (const DWORD error = token.LookupError(Privilege::TakeOwnership)) {
        return stop(RepairStep::LookUp, error);
    }
    ScopedPrivilege takeOwnership = ScopedPrivilege::Enable(token, Privilege::TakeOwnership);
    if (takeOwnership.Status() != ERROR_SUCCESS) {
        return stop(RepairStep::Enable, takeOwnership.Status());
    }
    if (const DWORD status = WriteOwner(key, dacl, before, !result.firstWriteDenied)) {
        return stop(RepairStep::Owner, status);
    }
    if (const DWORD status = takeOwnership.Restore()) {
        return stop(RepairStep::Disable, status);
    }
    // As owner, Administrators may read the key's security and write its DACL.
    const DWORD status = key.With(access, [&](HKEY handle) {
        return WriteRepairDacl(handle, key, dacl, before,
                               static_cast<const SID*>(dacl.Administrators()));
    });
    return stop(status == ERROR_SUCCESS ? RepairStep::None : RepairStep::SecondWrite, status);
}

DWORD ReadTreeKeySecurity(const TreeKey& key, const ProcessToken& token, Bytes& descriptor) {
    const DWORD status = key.With(READ_CONTROL, [&descriptor](HKEY handle) {
        return ReadKeySecurity(handle, kSavedParts, descriptor);
    });
    if (status != ERROR_ACCESS_DENIED) {
        return status;
    }
    // A key whose DACL denies even reading it may still be read for a backup.
    const ScopedPrivilege backup = ScopedPrivilege::Enable(token, Privilege::Backup);
    UniqueKey handle;
    if (key.Open(READ_CONTROL, handle, REG_OPTION_BACKUP_RESTORE) != ERROR_SUCCESS ||
        ReadKeySecurity(handle.get(), kSavedParts, descriptor) != ERROR_SUCCESS) {
        return status;
    }
    return ERROR_SUCCESS;
}

DWORD ToSddl(const Bytes& descriptor, std::wstring& sddl) {
    UniqueLocalText text;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            const_cast<BYTE*>(descriptor.data()), SDDL_REVISION_1, kOwnerAndDacl, text.put(),
            nullptr)) {
        return ::GetLastError();
    }
    sddl = text.get();
    return ERROR_SUCCESS;
}

} // namespace tkr
