#include "security/privilege.h"

#include "platform/win_api.h"
#include "report/report.h"

namespace tkr {
namespace {

BOOL Adjust(HANDLE token, LUID luid, bool enable) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    return win::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr,
                                      nullptr);
}

} // namespace

bool SetTokenPrivilegeState(const RunLog& log, HANDLE token, LUID luid, bool enable) {
    if (!Adjust(token, luid, enable)) {
        LogReport(log, ReportLevel::Error, L"\tAdjustTokenPrivileges error: %u",
                  static_cast<unsigned>(win::GetLastError()));
        return false;
    }
    // The call succeeds even when the token lacks the privilege; only the last error says so.
    return win::GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

ScopedPrivilege::ScopedPrivilege(const wchar_t* name) {
    if (!win::OpenProcessToken(win::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               ownToken_.put()) ||
        !win::LookupPrivilegeValueW(nullptr, name, &luid_)) {
        return;
    }
    token_ = ownToken_.get();
    TOKEN_PRIVILEGES privileges{1, {{luid_, SE_PRIVILEGE_ENABLED}}};
    TOKEN_PRIVILEGES previous{};
    DWORD size = 0;
    // The previous state lists the privilege only when the call changed it: one that was on
    // before stays on after the scope.
    on_ = win::AdjustTokenPrivileges(token_, FALSE, &privileges, sizeof privileges, &previous,
                                     &size) &&
          win::GetLastError() != ERROR_NOT_ALL_ASSIGNED && previous.PrivilegeCount == 1 &&
          (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) == 0;
}

ScopedPrivilege::~ScopedPrivilege() {
    if (on_) {
        Adjust(token_, luid_, false);
    }
}

} // namespace tkr
