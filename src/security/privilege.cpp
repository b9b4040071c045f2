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
    if (win::OpenProcessToken(win::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, ownToken_.put()) &&
        win::LookupPrivilegeValueW(nullptr, name, &luid_)) {
        token_ = ownToken_.get();
        on_ = Adjust(token_, luid_, true) && win::GetLastError() != ERROR_NOT_ALL_ASSIGNED;
    }
}

ScopedPrivilege::~ScopedPrivilege() {
    if (on_) {
        Adjust(token_, luid_, false);
    }
}

} // namespace tkr
