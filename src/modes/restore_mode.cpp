#include "modes/restore_mode.h"

#include "report/report.h"
#include "security/restore.h"

namespace tkr {
namespace {

// Reaches the entry's key as the walk does and restores it. Returns a Win32 code, or
// kRegistryLink when a link stands anywhere on the way.
[[nodiscard]] DWORD RestoreEntry(const UndoLine& entry, const ProcessToken& token,
                                 KeysAbove& above) {
    HKEY parent = nullptr;
    std::wstring parentName;
    LSTATUS status = above.Open(entry.path, parent, parentName);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    TreeKey key(parent ? parent : HKEY_CLASSES_ROOT, parentName,
                entry.path.substr(entry.path.rfind(L'\\') + 1), entry.path);
    status = key.Pin(READ_CONTROL);
    return status != ERROR_SUCCESS ? status
                                   : RestoreKeySecurity(key, token, entry.sddl, entry.descriptor);
}

} // namespace

void RestoreMode::Run(Tally& tally) {
    if (undo_.tornLine != 0) {
        ShowReport(log_, ReportLevel::Warning, L"Undo file line %u is cut short and was ignored.",
                   undo_.tornLine);
        tally.Add(Outcome::Failed);
    }
    KeysAbove above;
    for (auto entry = undo_.entries.rbegin(); entry != undo_.entries.rend(); ++entry) {
        AnnounceKey(log_, L"Restore", entry->path);
        if (entry->unreadable != ERROR_SUCCESS) {
            ShowReport(log_, ReportLevel::Warning,
                       L"SKIPPED: previous owner and DACL were not saved (error %u)",
                       static_cast<unsigned>(entry->unreadable));
            tally.Add(Outcome::Failed);
            continue;
        }
        DWORD status = RestoreEntry(*entry, token_, above);
        if (status != ERROR_SUCCESS) {
            // Keys above that changed since they were kept are met as anew: from the top.
            above = KeysAbove();
            status = RestoreEntry(*entry, token_, above);
        }
        if (SkippedAsLink(log_, static_cast<LSTATUS>(status), tally)) {
            continue;
        }
        if (status == ERROR_SUCCESS) {
            ShowReport(log_, ReportLevel::Message, L"DONE");
            tally.Add(Outcome::Done);
        } else if (status == ERROR_FILE_NOT_FOUND) {
            ShowReport(log_, ReportLevel::Warning, L"SKIPPED: key not present");
            tally.Add(Outcome::NotPresent);
        } else {
            LogReport(log_, ReportLevel::Error, L"\tCould not restore owner and DACL. Error: %u",
                      static_cast<unsigned>(status));
            ShowReport(log_, ReportLevel::Error, L"ERROR OCCURED");
            tally.Add(Outcome::Failed);
        }
    }
}

std::wstring RestoreMode::Summary(const Tally& tally) const {
    return SummaryLine(tally, {{L"key restored", L"keys restored"}, {L"failed", L"failed"}});
}

int RestoreMode::ExitStatus(bool quiet, const Tally& tally) const {
    // Links and keys that are gone are entries not restored too.
    const unsigned notRestored =
        tally[Outcome::Failed] + tally[Outcome::Link] + tally[Outcome::NotPresent];
    return quiet && notRestored != 0 ? kStatusFailed : kStatusDone;
}

} // namespace tkr
