#include "modes/repair_mode.h"

#include "report/report.h"

namespace tkr {

Outcome RepairAction::Act(const TreeKey& key) {
    Bytes before;
    const DWORD read = ReadTreeKeySecurity(key, before);
    undo_.Save(key.Path(), read, before);
    if (read != ERROR_SUCCESS) {
        before.clear();
    }
    const RepairResult result = RepairKeySecurity(key, dacl_, log_, before);
    if (result.repaired) {
        ShowReport(log_, ReportLevel::Message, L"DONE");
        return Outcome::Done;
    }
    ShowReport(log_, ReportLevel::Error, L"ERROR OCCURED");
    return result.firstWrite == ERROR_FILE_NOT_FOUND ? Outcome::NotPresent : Outcome::Failed;
}

void RepairMode::Run(Tally& tally) {
    RepairAction action(dacl_, undo_, log_);
    WalkKeyTrees(action, tally);
}

std::wstring RepairMode::Summary(const Tally& tally) const {
    std::wstring summary =
        SummaryLine(tally, {{L"key repaired", L"keys repaired"}, {L"failed", L"failed"}});
    if (undo_.NotSaved() != 0) {
        summary += L", " + std::to_wstring(undo_.NotSaved()) + L" not saved for undo";
    }
    return summary;
}

int RepairMode::ExitStatus(bool quiet, const Tally& tally) const {
    return quiet && (tally[Outcome::Failed] != 0 || undo_.NotSaved() != 0) ? kStatusFailed
                                                                           : kStatusDone;
}

} // namespace tkr
