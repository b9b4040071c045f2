// The repair run: each key's owner and DACL saved in the undo file, then repaired.
#pragma once

#include "modes/mode.h"
#include "report/undo_file.h"
#include "security/key_security.h"

#include <map>
#include <vector>

namespace tkr {

// The repair of one key; its result line is "DONE" or "ERROR OCCURED".
class RepairAction final : public ReportingAction {
  public:
    RepairAction(const RepairDacl& dacl, const ProcessToken& token, UndoWriter& undo,
                 const RunLog& log)
        : ReportingAction(L"Fix", log), dacl_(dacl), token_(token), undo_(undo) {}
    [[nodiscard]] REGSAM PinAccess() const override { return READ_CONTROL | WRITE_DAC; }
    [[nodiscard]] bool UsesParentSecurity() const override { return true; }
    // A repaired key grants administrators what it did or full control, unless the repair's
    // entries are inherit-only and do not apply to the key itself.
    [[nodiscard]] bool EntersAhead() const override { return dacl_.AppliesToTheKey(); }
    // Reads the key's owner and DACL through its pinned handle and stages its undo entry.
    void Prepare(const TreeKey& key) override;
    // Puts the group's entries on the disk (or counts them all as not saved).
    void Commit() override;
    Outcome Act(const TreeKey& key) override;
    // Keys whose DACL was written but whose owner could not be set.
    [[nodiscard]] unsigned WithoutOwner() const { return withoutOwner_; }
    // Keys changed whose undo entry says their security could not be read.
    [[nodiscard]] unsigned ChangedUnreadable() const { return changedUnreadable_; }

  private:
    // What Prepare read and saved for a key, until its turn.
    struct Prepared {
        Bytes before; // empty when it could not be read
        DWORD read = ERROR_SUCCESS;
        StagedEntry entry;
    };
    const RepairDacl& dacl_;
    const ProcessToken& token_;
    UndoWriter& undo_;
    std::map<const TreeKey*, Prepared> prepared_;
    std::vector<const TreeKey*> group_; // the keys staged since the last commit
    unsigned withoutOwner_ = 0;
    unsigned changedUnreadable_ = 0;
};

class RepairMode final : public Mode {
  public:
    RepairMode(DWORD inheritanceFlags, const ProcessToken& token, std::wstring undoPath,
               const RunLog& log)
        : dacl_(inheritanceFlags), undo_(std::move(undoPath), log),
          action_(dacl_, token, undo_, log) {}
    void Run(Tally& tally) override { WalkKeyTrees(action_, tally); }
    [[nodiscard]] std::wstring Summary(const Tally& tally) const override;
    // 1 with -q when a key could not be repaired, was left without Administrators as owner, or
    // was changed without an undo entry that can give it back; otherwise 0.
    [[nodiscard]] int ExitStatus(bool quiet, const Tally& tally) const override;

  private:
    RepairDacl dacl_;
    UndoWriter undo_;
    RepairAction action_;
    [[nodiscard]] unsigned NotSaved() const {
        return undo_.NotSaved() + action_.ChangedUnreadable();
    }
};

// Writes the detail lines of a key's repair to the log: how each step went, up to the one it
// stopped at.
void LogRepairSteps(const RunLog& log, const RepairResult& result);

} // namespace tkr
