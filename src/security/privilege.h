// Privileges of the process token, switched on only for as long as a step needs them.
#pragma once

#include "platform/unique.h"
#include "report/run_log.h"

#include <windows.h>

namespace tkr {

// Enables or disables one privilege of the token. Returns false when the call fails (logged
// here) or when the token does not hold the privilege (left to the caller to log).
[[nodiscard]] bool SetTokenPrivilegeState(const RunLog& log, HANDLE token, LUID luid, bool enable);

// A privilege that is on for a scope and off again when the scope ends, on every path.
class ScopedPrivilege {
  public:
    // Switches the named privilege of the process token on, logging nothing: the call that
    // needs it says by its own failure whether it was there. At the end of the scope it is
    // switched off again only if it was off before.
    explicit ScopedPrivilege(const wchar_t* name);
    // Takes charge of a privilege the caller has switched on in the token.
    ScopedPrivilege(HANDLE token, LUID luid) : token_(token), luid_(luid), on_(true) {}
    ScopedPrivilege(const ScopedPrivilege&) = delete;
    ScopedPrivilege& operator=(const ScopedPrivilege&) = delete;
    ~ScopedPrivilege();

    // The caller has switched it off itself.
    void Dismiss() { on_ = false; }

  private:
    UniqueHandle ownToken_;
    HANDLE token_ = nullptr;
    LUID luid_{};
    bool on_ = false;
};

} // namespace tkr
