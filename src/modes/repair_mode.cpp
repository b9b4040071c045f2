#include "modes/repair_mode.h"

#include "report/report.h"

namespace tkr {
namespace {

// The line of a step that failed with a Windows code.
void LogFailure(const RunLog& log, const wchar_t* format, DWORD code) {
    LogReport(log, ReportLevel::Error, format, static_cast<unsigned>(code));
}

// A privilege switch that failed: the call's error (none when the token lacks the privilege),
// then what it means for the step.
void LogSwitchFailure(const RunLog& log, DWORD code, const wchar_t* consequence) {
    if (code != ERROR_NOT_ALL_ASSIGNED) {
        LogFailure(log, L"\tAdjustTokenPrivileges error: %u", code);
    }
    LogReport(log, ReportLevel::Error, consequence);
}

} // namespace

void LogRepairSteps(const RunLog& log, const RepairResult& result) {
    constexpr wchar_t kNoAdministrator[] = L"\tYou must be logged on as Administrator.";
    switch (result.stoppedAt) {
    case RepairStep::EveryoneSid:
        return LogFailure(log, L"\tAllocateAndInitializeSid(Everyone)error %u", result.code);
    case RepairStep::AdministratorsSid:
        return LogFailure(log, L"\tAllocateAndInitializeSid(Admin)error %u", result.code);
    case RepairStep::Acl:
        return LogReport(log, ReportLevel::Error, L"\tFailed SetEntriesInAcl");
    case RepairStep::InheritedFrom:
        return LogFailure(
            log, L"\tNot written: the DACL of the key's physical parent could not be read: %u",
            result.code);
    case RepairStep::FirstWrite:
        return LogFailure(log, L"\tFirst SetNamedSecurityInfo call failed: %u", result.code);
    default:
        break;
    }
    if (result.firstWriteDenied) {
        LogReport(log, ReportLevel::Warning, L"\tFirst SetNamedSecurityInfo access denide");
    } else {
        LogReport(log, ReportLevel::Message, L"\tSuccessfully changed DACL permissions");
    }
    switch (result.stoppedAt) {
    case RepairStep::Token:
        return LogFailure(log, L"\tOpenProcessToken failed: %u", result.code);
    case RepairStep::LookUp:
        LogFailure(log, L"\tLookupPrivilegeValue error: %u", result.code);
        return LogReport(log, ReportLevel::Error, kNoAdministrator);
    case RepairStep::Enable:
        return LogSwitchFailure(log, result.code, kNoAdministrator);
    case RepairStep::Owner:
        return LogFailure(log, L"\tCould not set owner. Error: %u", result.code);
    case RepairStep::Disable:
        return LogSwitchFailure(log, result.code, L"\tFailed SetPrivilege call unexpectedly.");
    case RepairStep::SecondWrite:
        return LogFailure(log, L"\tSecond SetNamedSecurityInfo call failed: %u", result.code);
    default:
        return LogReport(log, ReportLevel::Message, L"\tSuccessfully changed DACL owner");
    }
}

void RepairAction::Prepare(const TreeKey& key) {
    Prepared& prepared = prepared_[&key];
    prepared.read = ReadTreeKeySecurity(key, token_, prepared.before);
    prepared.entry = undo_.Stage(key.Path(), key.FullName(), prepared.read, prepared.before);
    if (prepared.read != ERROR_SUCCESS) {
        prepared.before.clear();
    }
    group_.push_back(&key);
}

void RepairAction::Commit() {
    const DWORD error = undo_.Commit();
    for (const TreeKey* key : group_) {
        StagedEntry& entry = prepared_[key].entry;
        if (error != ERROR_SUCCESS && entry.saved != Saved::NotWritten) {
            entry.saved = Saved::NotWritten;
            entry.error = error;
        }
    }
    group_.clear();
}

Outcome RepairAction::Act(const TreeKey& key) {
    auto found = prepared_.find(&key);
    if (found == prepared_.end()) { // a key handed over alone: a group of its own
        Prepare(key);
        Commit();
        found = prepared_.find(&key);
    }
    const Prepared prepared = std::move(found->second);
    prepared_.erase(found);
    undo_.Report(prepared.entry);
    const Bytes& before = prepared.before;
    const RepairResult result = RepairKeySecurity(key, dacl_, token_, before);
    LogRepairSteps(log_, result);
    if (result.Repaired()) {
        // What -q counts against a clean run, so that its exit status agrees with -check's: an
        // owner not set counts unless it was Administrators already.
        DescriptorParts parts;
        const bool ownedByAdministrators =
            ParseDescriptor(before, parts) && SidEquals(parts.owner, AdministratorsSid());
        withoutOwner_ += result.OwnerSet() || ownedByAdministrators ? 0 : 1;
        // An entry written as unreadable, whatever made it so (a read refused, a descriptor
        // without an SDDL form); one not written at all the writer counts.
        changedUnreadable_ += prepared.entry.saved == Saved::Unreadable ? 1 : 0;
        ShowReport(log_, ReportLevel::Message, L"DONE");
        return Outcome::Done;
    }
    ShowReport(log_, ReportLevel::Error, L"ERROR OCCURED");
    return result.stoppedAt == RepairStep::FirstWrite && result.code == ERROR_FILE_NOT_FOUND
               ? Outcome::NotPresent
               : Outcome::Failed;
}

std::wstring RepairMode::Summary(const Tally& tally) const {
    std::wstring summary =
        SummaryLine(tally, {{L"key repaired", L"keys repaired"}, {L"failed", L"failed"}});
    if (action_.WithoutOwner() != 0) {
        summary +=
            L", " + std::to_wstring(action_.WithoutOwner()) + L" without Administrators as owner";
    }
    if (NotSaved() != 0) {
        summary += L", " + std::to_wstring(NotSaved()) + L" not saved for undo";
    }
    return summary;
}

int RepairMode::ExitStatus(bool quiet, const Tally& tally) const {
    return quiet && (tally[Outcome::Failed] != 0 || action_.WithoutOwner() != 0 || NotSaved() != 0)
               ? kStatusFailed
               : kStatusDone;
}

} // namespace tkr
