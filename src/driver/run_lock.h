// One changing run (repair or restore) at a time on the machine.
#pragma once

#include "platform/unique.h"

namespace tkr {

// Take's answer when another run holds the lock: a state of the tool's own, with the customer bit
// (29) that no Windows error code has.
inline constexpr DWORD kLockHeld = 0x20000002;

class RunLock {
  public:
    RunLock() = default;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock();
    // Takes the machine-wide lock of changing runs. Returns ERROR_SUCCESS, kLockHeld when
    // another run holds it, or the Windows error it could not be made with.
    [[nodiscard]] DWORD Take();

  private:
    UniqueHandle mutex_;
    bool held_ = false;
};

} // namespace tkr
