#include "modes/check_mode.h"

#include "report/report.h"

namespace tkr {

std::wstring CheckResultText(const KeyCheck& check) {
    if (check.status == ERROR_FILE_NOT_FOUND) {
        return L"NOT PRESENT";
    }
    if (check.status != ERROR_SUCCESS) {
        return L"NEEDS REPAIR: its security cannot be read (error " +
               std::to_wstring(check.status) + L")";
    }
    if (check.Ok()) {
        return L"OK";
    }
    std::wstring text = L"NEEDS REPAIR: ";
    if (!check.ownerIsAdministrators) {
        text += L"owner is not Administrators";
    }
    if (!check.daclIsRepairDacl) {
        text += check.ownerIsAdministrators ? L"" : L"; ";
        text += L"its own DACL entries are not the two the repair writes";
    }
    return text;
}

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
