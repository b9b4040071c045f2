// Report lines: formatted texts shown on the console and appended to the run log file.
#pragma once

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
// time. An empty or missing path leaves RunLogPath empty.
void InitRunLogPath(const wchar_t* programPath);
// "_yymmdd_HHMMSS.log" for the time in local time; empty if it cannot be formatted.
std::wstring FormatLogSuffix(__time64_t time);

} // namespace tkr
