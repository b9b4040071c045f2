#include "modes/restore_mode.h"

#include "report/report.h"
#include "security/restore.h"

namespace tkr {
namespace {

// Why an entry is not restored before its key is reached: the file does not say which key was
// saved (version 1), or the key saved is not the one its path names below HKEY_CLASSES_ROOT (a
// full name of another path, or of another user's classes): states of the tool's own, with the
// customer bit that no Windows error code has.
constexpr DWORD kKeyNotNamed = 0x20000002;
constexpr DWORD kNotTheKeySaved = 0x20000003;

// Reaches the key saved, by its full name, from its own root (never by the path, which in the
// merged view may reach another key), and restores it. Returns a Win32 code, kRegistryLink when a
// link stands anywhere on the way, or one of the states above.
[[nodiscard]] DWORD RestoreEntry(const UndoLine& entry, const ClassesRoots& roots,
                                 const ProcessToken& token, KeysAbove& above) {
    if (entry.fullName.empty()) {
        return kKeyNotNamed;
    }
    if (roots.RootOf(entry.fullName, entry.path) == nullptr) {
        return kNotTheKeySaved;
    }
    HKEY parent = nullptr;
    std::wstring parentName;
    LSTATUS status = above.Open(entry.fullName, parent, parentName);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    TreeKey key(parent, parentName, LastComponent(entry.fullName), entry.path);
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
    const ClassesRoots roots = ReadClassesRoots();
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
        DWORD status = RestoreEntry(*entry, roots, token_, above);
        if (status != ERROR_SUCCESS && status != kKeyNotNamed && status != kNotTheKeySaved) {
            // Keys above that changed since they were kept are met as anew: from the top.
            above = KeysAbove();
            status = RestoreEntry(*entry, roots, token_, above);
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
        } else if (status == kKeyNotNamed || status == kNotTheKeySaved) {
            ShowReport(log_, ReportLevel::Warning,
                       status == kKeyNotNamed
                           ? L"SKIPPED: the undo file does not say which key was saved"
                           : L"SKIPPED: the key at this path is not the one saved");
            tally.Add(Outcome::Failed);
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
