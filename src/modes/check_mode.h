// The check run: what a repair would change, changing nothing.
#pragma once

#include "modes/mode.h"

namespace tkr {

// The check of one key; its result line is "OK", "NOT PRESENT" or "NEEDS REPAIR: ...".
class CheckAction final : public KeyAction {
  public:
    CheckAction(DWORD inheritanceFlags, const RunLog& log)
        : inheritanceFlags_(inheritanceFlags), log_(log) {}
    [[nodiscard]] const wchar_t* Verb() const override { return L"Check"; }
    [[nodiscard]] REGSAM PinAccess() const override { return READ_CONTROL; }
    Outcome Act(const TreeKey& key) override;

  private:
    DWORD inheritanceFlags_;
    const RunLog& log_;
};

class CheckMode final : public Mode {
  public:
    CheckMode(DWORD inheritanceFlags, const RunLog& log)
        : action_(inheritanceFlags, log), log_(log) {}
    void Run(Tally& tally) override { WalkKeyTrees(action_, log_, tally); }
    [[nodiscard]] std::wstring Summary(const Tally& tally) const override;
    // 1 when a key needs repair, with or without -q.
    [[nodiscard]] int ExitStatus(bool quiet, const Tally& tally) const override;

  private:
    CheckAction action_;
    const RunLog& log_;
};

} // namespace tkr
