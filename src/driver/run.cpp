#include "driver/run.h"

#include "driver/options.h"
#include "modes/check_mode.h"
#include "modes/repair_mode.h"
#include "modes/restore_mode.h"
#include "platform/win_api.h"
#include "report/report.h"

#include <memory>
#include <new>
#include <stdexcept>

namespace tkr {
namespace {

constexpr wchar_t kOutOfMemory[] = L"Out of memory.";
constexpr wchar_t kUsage[] =
    L" Usage: typekey-repair [-i1] [-i2] [-i3] [-i4] [-i5] [-q] [-check] [-log DIR] [-undo FILE]";

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
    std::vector<UndoEntry> entries;
    if (!options.undoFile.empty()) {
        unsigned line = 0;
        std::wstring reason;
        if (!ReadUndoFile(options.undoFile, DocumentTypeKeys, entries, line, reason)) {
            WriteErrorLine(L"typekey-repair: undo file \"" + options.undoFile + L"\", line " +
                           std::to_wstring(line) + L": " + reason);
            return kStatusUsage;
        }
    }

    InitRunLogPath(ProgramPath().c_str(), options.logFolder);
    std::unique_ptr<Mode> mode;
    if (!options.undoFile.empty()) {
        mode = std::make_unique<RestoreMode>(std::move(entries));
    } else if (options.check) {
        mode = std::make_unique<CheckMode>(options.inheritanceFlags);
    } else {
        mode = std::make_unique<RepairMode>(options.inheritanceFlags, UndoPathFor(RunLogPath));
    }
    Tally tally;
    mode->Run(tally);

    if (options.quiet) {
        ShowReport(ReportLevel::Message, L"%ls", mode->Summary(tally).c_str());
        win::fflush(stdout);
    } else {
        win::wprintf(L"Press a key to close...");
        win::fflush(stdout);
        win::_getch();
    }
    return mode->ExitStatus(options.quiet, tally);
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
