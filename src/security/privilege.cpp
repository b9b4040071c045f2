#include "security/privilege.h"

#include "platform/win_api.h"

#include <utility>

namespace tkr {
namespace {

constexpr const wchar_t* kPrivilegeNames[] = {L"SeTakeOwnershipPrivilege", L"SeBackupPrivilege",
                                              L"SeRestorePrivilege", L"SeSecurityPrivilege"};

// Sets the privileges `state` lists; `previous` (when given) gets those it changed, as they were.
// The call succeeds even when the token lacks a privilege: then the last error says so.
[[nodiscard]] DWORD Adjust(HANDLE token, TOKEN_PRIVILEGES& state, TOKEN_PRIVILEGES* previous) {
    DWORD size = 0;
    if (!win::AdjustTokenPrivileges(token, FALSE, &state, sizeof state, previous,
                                    previous != nullptr ? &size : nullptr)) {
        return win::GetLastError();
    }
    return win::GetLastError() == ERROR_NOT_ALL_ASSIGNED ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS;
}

} // namespace

ProcessToken::ProcessToken() {
    if (!win::OpenProcessToken(win::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               token_.put())) {
        openError_ = win::GetLastError();
    }
    for (size_t i = 0; i < lookups_.size(); ++i) {
        if (!win::LookupPrivilegeValueW(nullptr, kPrivilegeNames[i], &lookups_[i].luid)) {
            lookups_[i].error = win::GetLastError();
        }
    }
}

ScopedPrivilege ScopedPrivilege::Enable(const ProcessToken& token, Privilege which) {
    ScopedPrivilege scope;
    const ProcessToken::Lookup& lookup = token.lookups_[ProcessToken::Index(which)];
    scope.status_ = token.OpenError() != ERROR_SUCCESS ? token.OpenError() : lookup.error;
    if (scope.status_ == ERROR_SUCCESS) {
        TOKEN_PRIVILEGES on{1, {{lookup.luid, SE_PRIVILEGE_ENABLED}}};
        scope.status_ = Adjust(token.token_.get(), on, &scope.previous_);
        scope.token_ = token.token_.get();
    }
    return scope;
}

ScopedPrivilege::ScopedPrivilege(ScopedPrivilege&& other) noexcept
    : token_(std::exchange(other.token_, nullptr)), previous_(other.previous_),
      status_(other.status_) {}

DWORD ScopedPrivilege::Restore() {
    // The previous state lists the privilege only when the switch changed it. A switch back that
    // fails is tried again at the end of the scope.
    if (token_ == nullptr || previous_.PrivilegeCount == 0) {
        return ERROR_SUCCESS;
    }
    const DWORD status = Adjust(token_, previous_, nullptr);
    if (status == ERROR_SUCCESS) {
        previous_.PrivilegeCount = 0;
    }
    return status;
}

} // namespace tkr
