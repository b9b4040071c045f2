#include "security/key_security.h"

#include "platform/win_api.h"
#include "report/report.h"
#include "security/descriptor.h"
#include "security/privilege.h"

namespace tkr {
namespace {

constexpr wchar_t kTakeOwnershipPrivilege[] = L"SeTakeOwnershipPrivilege";

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

unsigned Code(DWORD code) {
    return static_cast<unsigned>(code);
}

// Looks the take-ownership privilege up afresh and switches it; a failure is logged with what it
// means for the step. Returns whether the privilege was switched.
bool SwitchTakeOwnershipPrivilege(const RunLog& log, HANDLE token, bool enable, LUID& luid) {
    const wchar_t* const consequence = enable ? L"\tYou must be logged on as Administrator."
                                              : L"\tFailed SetPrivilege call unexpectedly.";
    if (!win::LookupPrivilegeValueW(nullptr, kTakeOwnershipPrivilege, &luid)) {
        LogReport(log, ReportLevel::Error, L"\tLookupPrivilegeValue error: %u",
                  Code(win::GetLastError()));
        LogReport(log, ReportLevel::Error, consequence);
        return false;
    }
    if (!SetTokenPrivilegeState(log, token, luid, enable)) {
        LogReport(log, ReportLevel::Error, consequence);
        return false;
    }
    return true;
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

} // namespace

const SID& AdministratorsSid() {
    return kAdministrators.sid;
}
const SID& EveryoneSid() {
    return kEveryone.sid;
}

RepairDacl::RepairDacl(DWORD inheritanceFlags) {
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    if (!win::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                       everyone_.put())) {
        failure_ =
            FormatText(L"\tAllocateAndInitializeSid(Everyone)error %u", Code(win::GetLastError()));
        return;
    }
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    if (!win::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                       DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, admins_.put())) {
        failure_ =
            FormatText(L"\tAllocateAndInitializeSid(Admin)error %u", Code(win::GetLastError()));
        return;
    }
    EXPLICIT_ACCESS_W entries[2] = {
        MakeEntry(everyone_.get(), TRUSTEE_IS_WELL_KNOWN_GROUP, GENERIC_READ, inheritanceFlags),
        MakeEntry(admins_.get(), TRUSTEE_IS_GROUP, GENERIC_ALL, inheritanceFlags),
    };
    if (win::SetEntriesInAclW(2, entries, nullptr, acl_.put()) != ERROR_SUCCESS) {
        failure_ = L"\tFailed SetEntriesInAcl";
    }
}

namespace {

// Writes the repair's DACL to the key the handle holds: a descriptor computed for this key alone,
// so that nothing below it is written. `before` is the key's descriptor, or empty when it is to be
// read through the handle; `owner` is the key's owner as the write leaves it.
DWORD WriteRepairDacl(HKEY handle, const TreeKey& key, const RepairDacl& dacl, const Bytes& before,
                      const SID* owner) {
    Bytes read;
    if (before.empty()) {
        const DWORD status = ReadKeySecurity(
            handle,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            read);
        if (status != ERROR_SUCCESS) {
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

} // namespace

RepairResult RepairKeySecurity(const TreeKey& key, const RepairDacl& dacl, const RunLog& log,
                               const Bytes& before) {
    if (!dacl.Failure().empty()) {
        LogReport(log, ReportLevel::Error, L"%ls", dacl.Failure().c_str());
        return {};
    }
    // Without the key's descriptor, a write must read it first.
    const REGSAM access = WRITE_DAC | (before.empty() ? READ_CONTROL : 0);
    RepairResult result;
    DWORD status = key.With(
        access, [&](HKEY handle) { return WriteRepairDacl(handle, key, dacl, before, nullptr); });
    result.firstWrite = status;
    if (status == ERROR_SUCCESS) {
        LogReport(log, ReportLevel::Message, L"\tSuccessfully changed DACL permissions");
        result.repaired = true;
    } else if (status == ERROR_ACCESS_DENIED) {
        LogReport(log, ReportLevel::Warning, L"\tFirst SetNamedSecurityInfo access denide");
    } else {
        LogReport(log, ReportLevel::Error, L"\tFirst SetNamedSecurityInfo call failed: %u",
                  Code(status));
        return result;
    }

    // The ownership pass: as owner, Administrators may always write the DACL.
    UniqueHandle token;
    if (!win::OpenProcessToken(win::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put())) {
        LogReport(log, ReportLevel::Error, L"\tOpenProcessToken failed: %u",
                  Code(win::GetLastError()));
        return result;
    }
    LUID luid{};
    if (!SwitchTakeOwnershipPrivilege(log, token.get(), true, luid)) {
        return result;
    }
    ScopedPrivilege takeOwnership(token.get(), luid);

    // Opened now: the privilege grants at the open what the key's DACL may not.
    UniqueKey owned;
    status = key.Open(WRITE_OWNER, owned);
    if (status == ERROR_SUCCESS) {
        // The DACL flags as the key has them now, so that the owner write keeps them everywhere.
        DescriptorParts parts;
        SECURITY_DESCRIPTOR_CONTROL flags = ParseDescriptor(before, parts) ? parts.control : 0;
        if (result.repaired) {
            flags = static_cast<SECURITY_DESCRIPTOR_CONTROL>((flags & SE_DACL_PROTECTED) |
                                                             SE_DACL_AUTO_INHERITED);
        }
        Bytes descriptor = OwnerDescriptor(static_cast<const SID*>(dacl.Administrators()), flags);
        status = win::RegSetKeySecurity(owned.get(), OWNER_SECURITY_INFORMATION, descriptor.data());
    }
    if (status != ERROR_SUCCESS) {
        LogReport(log, ReportLevel::Error, L"\tCould not set owner. Error: %u", Code(status));
        return result;
    }

    if (!SwitchTakeOwnershipPrivilege(log, token.get(), false, luid)) {
        return result;
    }
    takeOwnership.Dismiss();

    // As owner, Administrators may read the key's security and write its DACL.
    status = key.With(access, [&](HKEY handle) {
        return WriteRepairDacl(handle, key, dacl, before,
                               static_cast<const SID*>(dacl.Administrators()));
    });
    if (status == ERROR_SUCCESS) {
        LogReport(log, ReportLevel::Message, L"\tSuccessfully changed DACL owner");
        result.repaired = true;
    } else {
        LogReport(log, ReportLevel::Error, L"\tSecond SetNamedSecurityInfo call failed: %u",
                  Code(status));
    }
    return result;
}

} // namespace tkr
