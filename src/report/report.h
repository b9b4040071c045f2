// Report lines: formatted texts shown on the console and appended to the run log file.
#pragma once

#include "platform/unique.h"

#include <windows.h>

#include <cstdarg>
#include <ctime>
#include <string>

namespace tkr {

enum class ReportLevel { Message = 1, Warning = 2, Error = 3 };

// The label a log line carries for a level.
const wchar_t* ReportLevelLabel(ReportLevel level);

// The run log's path; empty (no log is written) until InitRunLogPath names it.
extern std::wstring RunLogPath;

// A run cannot go on: a text could not be formatted, or the start time had no local time.
struct FatalError {
    const wchar_t* message;
};

// A key name or path as console and log lines show it: control characters (below U+0020 other
// than tab, and U+007F) in caret notation ("^M" for CR, "^?" for DEL), so that no name can
// break or forge a line or drive a terminal. Other names are returned unchanged.
std::wstring DisplayName(const std::wstring& name);

// Where console lines go: set once at start-up, from what standard output and error are.
void InitConsoleOutput();
// Writes one whole line to standard output (or error): as exact UTF-16 text on a console;
// otherwise as the runtime converts each character, "?" for one it cannot, and a line end.
void WriteOutputLine(const std::wstring& text);
void WriteErrorLine(const std::wstring& text);

// Opens the file for appending, creating it if missing. Never through a symbolic link, junction
// or other reparse point, nor a file with more than one hard link: such a file counts as one
// that cannot be opened (ERROR_CANT_ACCESS_FILE). `error` gets the reason; `size` the size
// found, in bytes.
[[nodiscard]] UniqueFile OpenForAppend(const std::wstring& path, DWORD& error, LONGLONG& size);
// Creates the file new, failing with ERROR_FILE_EXISTS when the name is taken, and holds it so
// that others may read it but neither write nor delete it. `error` gets the reason it failed.
[[nodiscard]] UniqueFile CreateNewFile(const std::wstring& path, DWORD& error);

// Formats printf-style (%ls for wide strings, %u for unsigned) into a string of any length.
// Throws FatalError when the format cannot be applied, std::bad_alloc without memory.
std::wstring FormatText(const wchar_t* format, ...);
std::wstring FormatTextV(const wchar_t* format, va_list args);

// Prints the formatted text on the console and appends it to the run log.
void ShowReport(ReportLevel level, const wchar_t* format, ...);
// Appends the formatted text to the run log only.
void LogReport(ReportLevel level, const wchar_t* format, ...);

// Appends "Label: text" and CR LF to the run log; an empty text, or a log that cannot be
// opened, writes nothing.
void AppendLogLine(const std::wstring& text, ReportLevel level);
// "Label: text", without the line end.
std::wstring FormatLogLine(const std::wstring& text, ReportLevel level);

// Names the run log after the program path (without its extension) and the current local
// time, in logFolder when one is given (created, with its parents, if missing) and otherwise
// beside the program. An empty or missing path leaves RunLogPath empty.
void InitRunLogPath(const wchar_t* programPath, const std::wstring& logFolder = L"");
// The full path of the running program, as Windows knows it; empty if it cannot be had.
std::wstring ProgramPath();
// "_yymmdd_HHMMSS.log" for the time in local time; empty if it cannot be formatted.
std::wstring FormatLogSuffix(__time64_t time);

} // namespace tkr
