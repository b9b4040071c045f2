// Privileges of the process token, on only for as long as a step needs them.
#pragma once

#include "platform/unique.h"

#include <windows.h>

#include <array>

namespace tkr {

enum class Privilege { TakeOwnership, Backup, Restore, Security };

// The process token, opened once for the run, and the privileges the run switches, looked up
// once.
class ProcessToken {
  public:
    ProcessToken();
    // OpenProcessToken's error; ERROR_SUCCESS when the token is open.
    [[nodiscard]] DWORD OpenError() const { return openError_; }
    // LookupPrivilegeValueW's error for the privilege; ERROR_SUCCESS when it was found.
    [[nodiscard]] DWORD LookupError(Privilege which) const { return lookups_[Index(which)].error; }

  private:
    friend class ScopedPrivilege;
    struct Lookup {
        LUID luid{};
        DWORD error = ERROR_SUCCESS;
    };
    static size_t Index(Privilege which) { return static_cast<size_t>(which); }
    UniqueHandle token_;
    DWORD openError_ = ERROR_SUCCESS;
    std::array<Lookup, 4> lookups_;
};

// A privilege switched on for a scope; at its end (or at Restore) the token gets back the state
// the switch found, on every path.
class ScopedPrivilege {
  public:
    // Switches the privilege on. Status() says how: ERROR_SUCCESS, ERROR_NOT_ALL_ASSIGNED (the
    // token does not hold it), or the Windows error of the token's open, the look-up or the
    // switch.
    [[nodiscard]] static ScopedPrivilege Enable(const ProcessToken& token, Privilege which);
    ScopedPrivilege(ScopedPrivilege&& other) noexcept;
    ScopedPrivilege& operator=(ScopedPrivilege&&) = delete;
    ~ScopedPrivilege() { (void)Restore(); }

    [[nodiscard]] DWORD Status() const { return status_; }
    // Gives the privilege back the state it had, now. Returns as Enable's switch does; once
    // restored (or when the switch changed nothing), ERROR_SUCCESS.
    [[nodiscard]] DWORD Restore();

  private:
    ScopedPrivilege() = default;
    HANDLE token_ = nullptr;
    TOKEN_PRIVILEGES previous_{}; // what the switch changed: none, or the privilege as it was
    DWORD status_ = ERROR_SUCCESS;
};

} // namespace tkr
