#include "security/key_security.h"

#include "platform/unique.h"
#include "platform/win_api.h"
#include "report/report.h"

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

// The TOKEN_PRIVILEGES record that switches one privilege.
TOKEN_PRIVILEGES OnePrivilege(LUID luid, bool enable) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    return privileges;
}

unsigned Code(DWORD code) {
    return static_cast<unsigned>(code);
}

// Looks the take-ownership privilege up afresh and switches it; a failure is logged with what it
// means for the step. Returns whether the privilege was switched.
bool SwitchTakeOwnershipPrivilege(HANDLE token, bool enable) {
    const wchar_t* const consequence = enable ? L"\tYou must be logged on as Administrator."
                                              : L"\tFailed SetPrivilege call unexpectedly.";
    LUID luid{};
    if (!win::LookupPrivilegeValueW(nullptr, kTakeOwnershipPrivilege, &luid)) {
        LogReport(ReportLevel::Error, L"\tLookupPrivilegeValue error: %u",
                  Code(win::GetLastError()));
        LogReport(ReportLevel::Error, consequence);
        return false;
    }
    if (!SetTokenPrivilegeState(token, luid, enable)) {
        LogReport(ReportLevel::Error, consequence);
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

void SwitchPrivilege(const wchar_t* name, bool enable) {
    UniqueHandle token;
    LUID luid{};
    if (win::OpenProcessToken(win::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put()) &&
        win::LookupPrivilegeValueW(nullptr, name, &luid)) {
        TOKEN_PRIVILEGES privileges = OnePrivilege(luid, enable);
        win::AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr,
                                   nullptr);
    }
}

bool SetTokenPrivilegeState(HANDLE token, LUID luid, bool enable) {
    TOKEN_PRIVILEGES privileges = OnePrivilege(luid, enable);
    if (!win::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(TOKEN_PRIVILEGES), nullptr,
                                    nullptr)) {
        LogReport(ReportLevel::Error, L"\tAdjustTokenPrivileges error: %u",
                  Code(win::GetLastError()));
        return false;
    }
    // The call succeeds even when the token lacks the privilege; only the last error says so.
    return win::GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

bool RepairKeySecurity(std::wstring objectName, DWORD inheritanceFlags, DWORD* firstWrite) {
    // Declared in the reverse of the release order: Administrators SID, Everyone SID, ACL, token.
    UniqueHandle token;
    UniqueAcl acl;
    UniqueSid everyone;
    UniqueSid admins;
    bool result = false;

    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    if (!win::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                       everyone.put())) {
        LogReport(ReportLevel::Error, L"\tAllocateAndInitializeSid(Everyone)error %u",
                  Code(win::GetLastError()));
        return result;
    }
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    if (!win::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                       DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, admins.put())) {
        LogReport(ReportLevel::Error, L"\tAllocateAndInitializeSid(Admin)error %u",
                  Code(win::GetLastError()));
        return result;
    }

    EXPLICIT_ACCESS_W entries[2] = {
        MakeEntry(everyone.get(), TRUSTEE_IS_WELL_KNOWN_GROUP, GENERIC_READ, inheritanceFlags),
        MakeEntry(admins.get(), TRUSTEE_IS_GROUP, GENERIC_ALL, inheritanceFlags),
    };
    if (win::SetEntriesInAclW(2, entries, nullptr, acl.put()) != ERROR_SUCCESS) {
        LogReport(ReportLevel::Error, L"\tFailed SetEntriesInAcl");
        return result;
    }

    DWORD status =
        win::SetNamedSecurityInfoW(objectName.data(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, acl.get(), nullptr);
    if (firstWrite != nullptr) {
        *firstWrite = status;
    }
    if (status == ERROR_SUCCESS) {
        LogReport(ReportLevel::Message, L"\tSuccessfully changed DACL permissions");
        result = true;
    } else if (status == ERROR_ACCESS_DENIED) {
        LogReport(ReportLevel::Warning, L"\tFirst SetNamedSecurityInfo access denide");
    } else {
        LogReport(ReportLevel::Error, L"\tFirst SetNamedSecurityInfo call failed: %u",
                  Code(status));
        return result;
    }

    // The ownership pass: as owner, Administrators may always write the DACL.
    if (!win::OpenProcessToken(win::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put())) {
        LogReport(ReportLevel::Error, L"\tOpenProcessToken failed: %u", Code(win::GetLastError()));
        return result;
    }
    if (!SwitchTakeOwnershipPrivilege(token.get(), true)) {
        return result;
    }

    status =
        win::SetNamedSecurityInfoW(objectName.data(), SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION,
                                   admins.get(), nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        LogReport(ReportLevel::Error, L"\tCould not set owner. Error: %u", Code(status));
        return result;
    }

    if (!SwitchTakeOwnershipPrivilege(token.get(), false)) {
        return result;
    }

    status =
        win::SetNamedSecurityInfoW(objectName.data(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, acl.get(), nullptr);
    if (status == ERROR_SUCCESS) {
        LogReport(ReportLevel::Message, L"\tSuccessfully changed DACL owner");
        result = true;
    } else {
        LogReport(ReportLevel::Error, L"\tSecond SetNamedSecurityInfo call failed: %u",
                  Code(status));
    }
    return result;
}

} // namespace tkr
