#include "security/key_security.h"

#include "platform/win_api.h"
#include "report/report.h"
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

bool RepairKeySecurity(const TreeKey& key, const RepairDacl& dacl, const RunLog& log,
                       DWORD* firstWrite) {
    if (!dacl.Failure().empty()) {
        LogReport(log, ReportLevel::Error, L"%ls", dacl.Failure().c_str());
        return false;
    }
    auto writeDacl = [&dacl](HKEY handle) {
        return win::SetSecurityInfo(handle, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, dacl.Acl(), nullptr);
    };
    bool result = false;
    DWORD status = key.With(WRITE_DAC, writeDacl);
    if (firstWrite != nullptr) {
        *firstWrite = status;
    }
    if (status == ERROR_SUCCESS) {
        LogReport(log, ReportLevel::Message, L"\tSuccessfully changed DACL permissions");
        result = true;
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
        status = win::SetSecurityInfo(owned.get(), SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION,
                                      dacl.Administrators(), nullptr, nullptr, nullptr);
    }
    if (status != ERROR_SUCCESS) {
        LogReport(log, ReportLevel::Error, L"\tCould not set owner. Error: %u", Code(status));
        return result;
    }

    if (!SwitchTakeOwnershipPrivilege(log, token.get(), false, luid)) {
        return result;
    }
    takeOwnership.Dismiss();

    status = key.With(WRITE_DAC, writeDacl);
    if (status == ERROR_SUCCESS) {
        LogReport(log, ReportLevel::Message, L"\tSuccessfully changed DACL owner");
        result = true;
    } else {
        LogReport(log, ReportLevel::Error, L"\tSecond SetNamedSecurityInfo call failed: %u",
                  Code(status));
    }
    return result;
}

} // namespace tkr
