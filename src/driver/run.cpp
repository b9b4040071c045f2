#include "driver/run.h"

#include "driver/options.h"
#include "driver/run_lock.h"
#include "modes/check_mode.h"
#include "modes/repair_mode.h"
#include "modes/restore_mode.h"
#include "platform/win_api.h"
#include "report/console.h"
#include "report/report.h"
#include "security/privilege.h"

#include "version.h"

#include <memory>
#include <new>
#include <stdexcept>

namespace tkr {
namespace {

constexpr wchar_t kOutOfMemory[] = L"Out of memory.";
constexpr wchar_t kUsage[] =
    L" Usage: typekey-repair [-i1] [-i2] [-i3] [-i4] [-i5] [-q] [-check] [-log DIR] [-undo FILE]";

constexpr wchar_t kHelp[] =
    L"typekey-repair " TKR_VERSION_TEXT L"\n"
    L"Repairs the owner and DACL of the document-type keys under HKEY_CLASSES_ROOT and every key\n"
    L"below them. Run it elevated.\n"
    L"Usage: typekey-repair [-i1] [-i2] [-i3] [-i4] [-i5] [-q] [-check] [-log DIR] [-undo FILE]\n"
    L"  -i1 -i2 -i3 -i4 -i5  inheritance of the two entries: object, container, both, no\n"
    L"                       propagate, inherit only (combined; container when none is given)\n"
    L"  -q                   no key-press wait; a summary line and an exit status that tells\n"
    L"  -check               report what a repair would change, and change nothing\n"
    L"  -log DIR             write the log and the undo file into DIR\n"
    L"  -undo FILE           give each key of an undo file back its saved owner and DACL\n"
    L"  -?, /?, -h, -help, --help  this text; nothing is changed";

// Without -q, the prompt and the wait for a key press; with it, only what was written, flushed.
void EndRun(bool quiet) {
    if (!quiet) {
        win::wprintf(L"Press a key to close...");
    }
    win::fflush(stdout);
    if (!quiet) {
        win::_getch();
    }
}

// The mode the options choose.
std::unique_ptr<Mode> MakeMode(const RunOptions& options, UndoText undo, const ProcessToken& token,
                               const RunLog& log) {
    if (!options.undoFile.empty()) {
        return std::make_unique<RestoreMode>(std::move(undo), token, log);
    }
    if (options.check) {
        return std::make_unique<CheckMode>(options.inheritanceFlags, log);
    }
    return std::make_unique<RepairMode>(options.inheritanceFlags, token,
                                        UndoPathFor(log.RunLogPath()), log);
}

// Runs that change keys take turns: two at once would each save what the other changed. Returns
// whether this run may go on; reports why not.
[[nodiscard]] bool TakeTurn(RunLock& lock, const RunLog& log) {
    const DWORD taken = lock.Take();
    if (taken == kLockHeld) {
        ShowReport(log, ReportLevel::Error, L"Another typekey-repair run is in progress.");
    } else if (taken != ERROR_SUCCESS) {
        ShowReport(log, ReportLevel::Error,
                   L"The lock that keeps changing runs apart could not be made. Error: %u",
                   static_cast<unsigned>(taken));
    }
    return taken == ERROR_SUCCESS;
}

// The mode's work, then its summary line with -q. Returns the exit status.
int RunMode(std::unique_ptr<Mode> mode, const ProcessToken& token, bool quiet, const RunLog& log) {
    Tally tally;
    {
        // Whether a key is a link is told even where its DACL denies the administrators reading:
        // the privilege grants kNameAccess.
        const auto nameAccess = ScopedPrivilege::Enable(token, Privilege::Security);
        mode->Run(tally);
    }
    if (quiet) {
        ShowReport(log, ReportLevel::Message, L"%ls", mode->Summary(tally).c_str());
    }
    return mode->ExitStatus(quiet, tally); // the mode ends first: the undo file on the disk
}

} // namespace

int RunRepair(int argc, wchar_t** argv) {
    const Console console = Console::Detect();
    if (AsksForHelp(argc, argv)) {
        console.WriteOutputLine(kHelp);
        win::fflush(stdout);
        return kStatusDone;
    }
    RunOptions options;
    const std::wstring usage = ParseOptions(argc, argv, options);
    if (!usage.empty()) {
        console.WriteErrorLine(L"typekey-repair: " + usage + kUsage);
        return kStatusUsage;
    }
    // A restore reads and judges the whole file before it changes anything, the log included.
    UndoText undo;
    if (!options.undoFile.empty()) {
        undo = ReadUndoFile(options.undoFile, DocumentTypeKeys);
        if (!undo.reason.empty()) {
            console.WriteErrorLine(L"typekey-repair: undo file \"" + options.undoFile +
                                   L"\", line " + std::to_wstring(undo.badLine) + L": " +
                                   undo.reason);
            return kStatusUsage;
        }
    }
    RunLog log(console);
    log.InitRunLogPath(ProgramPath().c_str(), options.logFolder);
    const ProcessToken token;
    std::unique_ptr<Mode> mode = MakeMode(options, std::move(undo), token, log);
    RunLock lock;
    const int status = mode->ChangesKeys() && !TakeTurn(lock, log)
                           ? kStatusStopped
                           : RunMode(std::move(mode), token, options.quiet, log);
    EndRun(options.quiet);
    return status;
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
