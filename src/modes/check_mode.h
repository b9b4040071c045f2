// The check run: what a repair would change, changing nothing.
#pragma once

#include "modes/mode.h"
#include "security/key_check.h"

namespace tkr {

// The check of one key; its result line is "OK", "NOT PRESENT" or "NEEDS REPAIR: ...".
class CheckAction final : public ReportingAction {
  public:
    CheckAction(DWORD inheritanceFlags, const RunLog& log)
        : ReportingAction(L"Check", log), inheritanceFlags_(inheritanceFlags) {}
    [[nodiscard]] REGSAM PinAccess() const override { return READ_CONTROL; }
    Outcome Act(const TreeKey& key) override;

  private:
    DWORD inheritanceFlags_;
};

// The result line of a check: "OK", "NOT PRESENT" or "NEEDS REPAIR: <why>".
[[nodiscard]] std::wstring CheckResultText(const KeyCheck& check);

class CheckMode final : public Mode {
  public:
    CheckMode(DWORD inheritanceFlags, const RunLog& log) : action_(inheritanceFlags, log) {}
    [[nodiscard]] bool ChangesKeys() const override { return false; }
    void Run(Tally& tally) override { WalkKeyTrees(action_, tally); }
    [[nodiscard]] std::wstring Summary(const Tally& tally) const override;
    // 1 when a key needs repair, with or without -q.
    [[nodiscard]] int ExitStatus(bool quiet, const Tally& tally) const override;

  private:
    CheckAction action_;
};

} // namespace tkr
