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

#include <memory>
#include <new>
#include <stdexcept>

namespace tkr {
namespace {

constexpr wchar_t kOutOfMemory[] = L"Out of memory.";
constexpr wchar_t kUsage[] =
    L" Usage: typekey-repair [-i1] [-i2] [-i3] [-i4] [-i5] [-q] [-check] [-log DIR] [-undo FILE]";

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

} // namespace

int RunRepair(int argc, wchar_t** argv) {
    InitConsoleOutput();
    RunOptions options;
    const std::wstring usage = ParseOptions(argc, argv, options);
    if (!usage.empty()) {
        WriteErrorLine(L"typekey-repair: " + usage + kUsage);
        return kStatusUsage;
    }
    // A restore reads and judges the whole file before it changes anything, the log included.
    UndoFile undo;
    if (!options.undoFile.empty()) {
        unsigned line = 0;
        std::wstring reason;
        if (!ReadUndoFile(options.undoFile, DocumentTypeKeys, undo, line, reason)) {
            WriteErrorLine(L"typekey-repair: undo file \"" + options.undoFile + L"\", line " +
                           std::to_wstring(line) + L": " + reason);
            return kStatusUsage;
        }
    }

    RunLog log;
    log.InitRunLogPath(ProgramPath().c_str(), options.logFolder);
    // Runs that change keys take turns: two at once would each save what the other changed.
    RunLock lock;
    if (const DWORD taken = options.check ? ERROR_SUCCESS : lock.Take(); taken != ERROR_SUCCESS) {
        if (taken == kLockHeld) {
            ShowReport(log, ReportLevel::Error, L"Another typekey-repair run is in progress.");
        } else {
            ShowReport(log, ReportLevel::Error,
                       L"The lock that keeps changing runs apart could not be made. Error: %u",
                       static_cast<unsigned>(taken));
        }
        EndRun(options.quiet);
        return kStatusStopped;
    }
    std::unique_ptr<Mode> mode;
    if (!options.undoFile.empty()) {
        mode = std::make_unique<RestoreMode>(std::move(undo), log);
    } else if (options.check) {
        mode = std::make_unique<CheckMode>(options.inheritanceFlags, log);
    } else {
        mode = std::make_unique<RepairMode>(options.inheritanceFlags, UndoPathFor(log.RunLogPath()),
                                            log);
    }
    Tally tally;
    {
        // Whether a key is a link is told even where its DACL denies the administrators reading.
        const ScopedPrivilege nameAccess(kNameAccessPrivilege);
        mode->Run(tally);
    }
    if (options.quiet) {
        ShowReport(log, ReportLevel::Message, L"%ls", mode->Summary(tally).c_str());
    }
    const int status = mode->ExitStatus(options.quiet, tally);
    mode.reset(); // the undo file on the disk before the run says it is done
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
