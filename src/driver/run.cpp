#include "driver/run.h"

#include "driver/options.h"
#include "platform/win_api.h"
#include "report/report.h"
#include "security/key_check.h"
#include "security/key_security.h"
#include "security/restore.h"

#include <new>
#include <stdexcept>

namespace tkr {

const std::array<const wchar_t*, 15> DocumentTypeKeys = {
    L".qk4", L".zor", L".wun", L".bym", L".kaf", L".27u", L".gli", L".tov",
    L".rux", L".mik", L".nol", L".ooq", L".lud", L".cwa", L".hib",
};

namespace {

constexpr wchar_t kOutOfMemory[] = L"Out of memory.";
constexpr wchar_t kUsage[] =
    L" Usage: typekey-repair [-i1] [-i2] [-i3] [-i4] [-i5] [-q] [-check] [-log DIR] [-undo FILE]";

constexpr int kStatusDone = 0;
constexpr int kStatusFailed = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusStopped = 3;

enum class Mode { Repair, Check, Restore };

std::wstring Count(unsigned count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

std::wstring Summary(Mode mode, const Tally& tally) {
    // What each mode calls its done and its failed keys, for one key and for several.
    struct Words {
        const wchar_t* done[2];
        const wchar_t* failed[2];
    };
    constexpr Words kWords[] = {{{L"key repaired", L"keys repaired"}, {L"failed", L"failed"}},
                                {{L"key OK", L"keys OK"}, {L"needs repair", L"need repair"}},
                                {{L"key restored", L"keys restored"}, {L"failed", L"failed"}}};
    const Words& words = kWords[static_cast<size_t>(mode)];
    return L"Summary: " + Count(tally[Outcome::Done], words.done[0], words.done[1]) + L", " +
           Count(tally[Outcome::Failed], words.failed[0], words.failed[1]) + L", " +
           Count(tally[Outcome::Link], L"registry link skipped", L"registry links skipped") +
           L", " + Count(tally[Outcome::NotPresent], L"key not present", L"keys not present");
}

// A restore must not write through a link anywhere along the key's path.
bool IsOnLinkPath(const std::wstring& path) {
    for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        if (IsRegistryLink(path.substr(0, at))) {
            return true;
        }
    }
    return IsRegistryLink(path);
}

int ExitStatus(Mode mode, bool quiet, const Tally& tally) {
    switch (mode) {
    case Mode::Check:
        return tally[Outcome::Failed] == 0 ? kStatusDone : kStatusFailed;
    case Mode::Repair:
        return quiet && tally[Outcome::Failed] != 0 ? kStatusFailed : kStatusDone;
    case Mode::Restore:
        // Links and keys that are gone are entries not restored too.
        return quiet &&
                       tally[Outcome::Failed] + tally[Outcome::Link] + tally[Outcome::NotPresent] !=
                           0
                   ? kStatusFailed
                   : kStatusDone;
    }
    return kStatusDone;
}

} // namespace

Outcome RepairAction::Act(const std::wstring& path, std::wstring objectName) {
    undo_.Save(path);
    DWORD firstWrite = ERROR_SUCCESS;
    if (RepairKeySecurity(std::move(objectName), inheritanceFlags_, &firstWrite)) {
        ShowReport(ReportLevel::Message, L"DONE");
        return Outcome::Done;
    }
    ShowReport(ReportLevel::Error, L"ERROR OCCURED");
    return firstWrite == ERROR_FILE_NOT_FOUND ? Outcome::NotPresent : Outcome::Failed;
}

Outcome CheckAction::Act(const std::wstring&, std::wstring objectName) {
    const KeyCheck check = CheckKeySecurity(objectName, inheritanceFlags_);
    const std::wstring text = CheckResultText(check);
    if (check.Ok()) {
        ShowReport(ReportLevel::Message, L"%ls", text.c_str());
        return Outcome::Done;
    }
    if (check.status == ERROR_FILE_NOT_FOUND) {
        ShowReport(ReportLevel::Message, L"%ls", text.c_str());
        return Outcome::NotPresent;
    }
    ShowReport(ReportLevel::Warning, L"%ls", text.c_str());
    return Outcome::Failed;
}

void RestoreEntries(const std::vector<UndoEntry>& entries, Tally& tally) {
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        ShowReport(ReportLevel::Message, L"Restore \"%ls\" ...", DisplayName(entry->path).c_str());
        if (entry->unreadable != ERROR_SUCCESS) {
            ShowReport(ReportLevel::Warning,
                       L"SKIPPED: previous owner and DACL were not saved (error %u)",
                       static_cast<unsigned>(entry->unreadable));
            tally.Add(Outcome::Failed);
            continue;
        }
        if (IsOnLinkPath(entry->path)) {
            ShowReport(ReportLevel::Warning, kLinkSkipped);
            tally.Add(Outcome::Link);
            continue;
        }
        const DWORD status = RestoreKeySecurity(*entry);
        if (status == ERROR_SUCCESS) {
            ShowReport(ReportLevel::Message, L"DONE");
            tally.Add(Outcome::Done);
        } else if (status == ERROR_FILE_NOT_FOUND) {
            ShowReport(ReportLevel::Warning, L"SKIPPED: key not present");
            tally.Add(Outcome::NotPresent);
        } else {
            LogReport(ReportLevel::Error, L"\tCould not restore owner and DACL. Error: %u",
                      static_cast<unsigned>(status));
            ShowReport(ReportLevel::Error, L"ERROR OCCURED");
            tally.Add(Outcome::Failed);
        }
    }
}

int RunRepair(int argc, wchar_t** argv) {
    InitConsoleOutput();
    RunOptions options;
    const std::wstring usage = ParseOptions(argc, argv, options);
    if (!usage.empty()) {
        WriteErrorLine(L"typekey-repair: " + usage + kUsage);
        return kStatusUsage;
    }
    const Mode mode = !options.undoFile.empty() ? Mode::Restore
                      : options.check           ? Mode::Check
                                                : Mode::Repair;
    // A restore reads and judges the whole file before it changes anything, the log included.
    std::vector<UndoEntry> entries;
    if (mode == Mode::Restore) {
        unsigned line = 0;
        std::wstring reason;
        if (!ReadUndoFile(options.undoFile, DocumentTypeKeys, entries, line, reason)) {
            WriteErrorLine(L"typekey-repair: undo file \"" + options.undoFile + L"\", line " +
                           std::to_wstring(line) + L": " + reason);
            return kStatusUsage;
        }
    }

    InitRunLogPath(ProgramPath().c_str(), options.logFolder);
    Tally tally;
    if (mode == Mode::Restore) {
        RestoreEntries(entries, tally);
    } else if (mode == Mode::Check) {
        CheckAction action(options.inheritanceFlags);
        for (const wchar_t* key : DocumentTypeKeys) {
            WalkKeyTree(key, action, tally);
        }
    } else {
        UndoWriter undo(UndoPathFor(RunLogPath));
        RepairAction action(options.inheritanceFlags, undo);
        for (const wchar_t* key : DocumentTypeKeys) {
            WalkKeyTree(key, action, tally);
        }
    }

    if (options.quiet) {
        ShowReport(ReportLevel::Message, L"%ls", Summary(mode, tally).c_str());
        win::fflush(stdout);
    } else {
        win::wprintf(L"Press a key to close...");
        win::fflush(stdout);
        win::_getch();
    }
    return ExitStatus(mode, options.quiet, tally);
}

int RunTool(int argc, wchar_t** argv) {
    try {
        return RunRepair(argc, argv);
    } catch (const FatalError& error) {
        win::wprintf(L"\n%ls The run was stopped.\n", error.message);
    } catch (const std::bad_alloc&) {
        win::wprintf(L"\n%ls The run was stopped.\n", kOutOfMemory);
    } catch (const std::length_error&) { // a text longer than a string can hold
        win::wprintf(L"\n%ls The run was stopped.\n", kOutOfMemory);
    }
    win::fflush(stdout);
    return kStatusStopped;
}

} // namespace tkr
