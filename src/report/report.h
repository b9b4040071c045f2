// Report lines: formatted texts with a level, shown on the console and appended to the run log.
#pragma once

#include "report/display_name.h"
#include "report/run_log.h"

#include <string>

namespace tkr {

// A run cannot go on: a text could not be formatted, or the start time had no local time.
struct FatalError {
    const wchar_t* message;
};

// Prints the text, formatted printf-style (%ls for wide strings, %u for unsigned), on the console
// and appends it to the run log. Throws FatalError when the format cannot be applied,
// std::bad_alloc without memory.
void ShowReport(const RunLog& log, ReportLevel level, const wchar_t* format, ...);
// Appends the formatted text to the run log only.
void LogReport(const RunLog& log, ReportLevel level, const wchar_t* format, ...);

} // namespace tkr
