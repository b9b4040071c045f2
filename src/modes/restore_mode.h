// The restore run: each key of an undo file given back the owner and DACL saved there.
#pragma once

#include "modes/mode.h"
#include "security/undo_file.h"

#include <vector>

namespace tkr {

class RestoreMode final : public Mode {
  public:
    explicit RestoreMode(std::vector<UndoEntry> entries) : entries_(std::move(entries)) {}
    // Restores each entry's key, newest entry first, announcing each and its result.
    void Run(Tally& tally) override;
    [[nodiscard]] std::wstring Summary(const Tally& tally) const override;
    // 1 with -q when an entry was not restored (failed, a link, or its key gone); otherwise 0.
    [[nodiscard]] int ExitStatus(bool quiet, const Tally& tally) const override;

  private:
    std::vector<UndoEntry> entries_;
};

} // namespace tkr
