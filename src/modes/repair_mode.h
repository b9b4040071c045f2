// The repair run: each key's owner and DACL saved in the undo file, then repaired.
#pragma once

#include "modes/mode.h"
#include "security/key_security.h"
#include "security/undo_file.h"

namespace tkr {

// The repair of one key; its result line is "DONE" or "ERROR OCCURED".
class RepairAction final : public ReportingAction {
  public:
    RepairAction(const RepairDacl& dacl, UndoWriter& undo, const RunLog& log)
        : ReportingAction(L"Fix", log), dacl_(dacl), undo_(undo) {}
    [[nodiscard]] REGSAM PinAccess() const override { return READ_CONTROL | WRITE_DAC; }
    [[nodiscard]] bool UsesParentSecurity() const override { return true; }
    Outcome Act(const TreeKey& key) override;

  private:
    const RepairDacl& dacl_;
    UndoWriter& undo_;
};

class RepairMode final : public Mode {
  public:
    RepairMode(DWORD inheritanceFlags, std::wstring undoPath, const RunLog& log)
        : dacl_(inheritanceFlags), undo_(std::move(undoPath), log), log_(log) {}
    void Run(Tally& tally) override;
    [[nodiscard]] std::wstring Summary(const Tally& tally) const override;
    // 1 with -q when a key could not be repaired or was changed without its undo entry;
    // otherwise 0.
    [[nodiscard]] int ExitStatus(bool quiet, const Tally& tally) const override;

  private:
    RepairDacl dacl_;
    UndoWriter undo_;
    const RunLog& log_;
};

} // namespace tkr
