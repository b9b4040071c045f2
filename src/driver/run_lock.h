// One changing run (repair or restore) at a time on the machine.
#pragma once

#include "platform/unique.h"

namespace tkr {

class RunLock {
  public:
    RunLock() = default;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock();
    // Takes the machine-wide lock of changing runs; false when another run holds it (or it
    // cannot be had at all, which is taken as the same).
    [[nodiscard]] bool Take();

  private:
    UniqueHandle mutex_;
    bool held_ = false;
};

} // namespace tkr
