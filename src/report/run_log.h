// The run log: labelled lines in a UTF-16LE file named after the program and the start time.
#pragma once

#include "platform/unique.h"
#include "report/console.h"

#include <windows.h>

#include <ctime>
#include <string>

namespace tkr {

// The DACL of the folders the tool creates for its files: only SYSTEM and Administrators may
// write in them (everyone may read), so that no other user can plant or replace a file there.
inline constexpr wchar_t kAdministratorsFolderSddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;WD)";

enum class ReportLevel { Message = 1, Warning = 2, Error = 3 };

// The run's log, owned by the run, with the console its report lines are shown on. Until it is
// named, no line is written.
class RunLog {
  public:
    RunLog() = default;
    explicit RunLog(std::wstring path, Console console = {})
        : path_(std::move(path)), console_(console) {}
    explicit RunLog(Console console) : console_(console) {}

    // Names the log after the program path (without its extension) and the current local
    // time, in logFolder when one is given (created, with its parents, if missing) and
    // otherwise beside the program. An empty or missing path leaves it unnamed.
    void InitRunLogPath(const wchar_t* programPath, const std::wstring& logFolder = L"");
    [[nodiscard]] const std::wstring& RunLogPath() const { return path_; }

    // Appends "Label: text" and CR LF; an empty text, or a log that cannot be opened, writes
    // nothing.
    void AppendLogLine(const std::wstring& text, ReportLevel level) const;

    [[nodiscard]] const Console& Screen() const { return console_; }

  private:
    std::wstring path_;
    Console console_;
};

// Creates the file new, failing with ERROR_FILE_EXISTS when the name is taken, and holds it so
// that others may read it but neither write nor delete it. Never through a symbolic link,
// junction or other reparse point: such a file counts as one that cannot be opened
// (ERROR_CANT_ACCESS_FILE).
[[nodiscard]] DWORD CreateNewFile(const std::wstring& path, UniqueFile& file);

// The full path of the running program, as Windows knows it; empty if it cannot be had.
[[nodiscard]] std::wstring ProgramPath();
// "_yymmdd_HHMMSS.log" for the time in local time; empty if it cannot be formatted.
[[nodiscard]] std::wstring FormatLogSuffix(__time64_t time);

} // namespace tkr
