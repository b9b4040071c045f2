#include "modes/check_mode.h"

#include "report/report.h"
#include "security/key_check.h"

namespace tkr {

Outcome CheckAction::Act(const TreeKey& key) {
    const KeyCheck check = CheckKeySecurity(key, inheritanceFlags_);
    const std::wstring text = CheckResultText(check);
    if (check.Ok()) {
        ShowReport(log_, ReportLevel::Message, L"%ls", text.c_str());
        return Outcome::Done;
    }
    if (check.status == ERROR_FILE_NOT_FOUND) {
        ShowReport(log_, ReportLevel::Message, L"%ls", text.c_str());
        return Outcome::NotPresent;
    }
    ShowReport(log_, ReportLevel::Warning, L"%ls", text.c_str());
    return Outcome::Failed;
}

std::wstring CheckMode::Summary(const Tally& tally) const {
    return SummaryLine(tally, {{L"key OK", L"keys OK"}, {L"needs repair", L"need repair"}});
}

int CheckMode::ExitStatus(bool, const Tally& tally) const {
    return tally[Outcome::Failed] == 0 ? kStatusDone : kStatusFailed;
}

} // namespace tkr
