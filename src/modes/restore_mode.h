// The restore run: each key of an undo file given back the owner and DACL saved there.
#pragma once

#include "modes/mode.h"
#include "report/undo_file.h"
#include "security/privilege.h"

namespace tkr {

class RestoreMode final : public Mode {
  public:
    RestoreMode(UndoText undo, const ProcessToken& token, const RunLog& log)
        : undo_(std::move(undo)), token_(token), log_(log) {}
    // Restores each entry's key, newest entry first, announcing each and its result; an
    // incomplete last line is reported first and counts as an entry not restored.
    void Run(Tally& tally) override;
    [[nodiscard]] std::wstring Summary(const Tally& tally) const override;
    // 1 with -q when an entry was not restored (failed, a link, or its key gone); otherwise 0.
    [[nodiscard]] int ExitStatus(bool quiet, const Tally& tally) const override;

  private:
    UndoText undo_;
    const ProcessToken& token_;
    const RunLog& log_;
};

} // namespace tkr
