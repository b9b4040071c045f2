#include "report/report.h"

#include "platform/win_api.h"
#include "report/console.h"

#include <cstdarg>
#include <cwchar>

namespace tkr {
namespace {

// Formats into a string of any length.
std::wstring FormatTextV(const wchar_t* format, va_list args) {
    // Without a directive the format is its own text: no need to run the formatter.
    if (std::wcschr(format, L'%') == nullptr) {
        return format;
    }
    // Measuring and formatting go through the same runtime so that both read %ls alike.
    va_list measure;
    va_copy(measure, args);
    const int length = win::_vscwprintf(format, measure);
    va_end(measure);
    if (length < 0) {
        throw FatalError{L"A report text could not be formatted."};
    }
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (::vswprintf_s(text.data(), text.size() + 1, format, args) != length) {
        throw FatalError{L"A report text could not be formatted."};
    }
    return text;
}

} // namespace

void ShowReport(const RunLog& log, ReportLevel level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring text = FormatTextV(format, args);
    va_end(args);
    log.Screen().WriteOutputLine(text);
    log.AppendLogLine(text, level);
}

void LogReport(const RunLog& log, ReportLevel level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring text = FormatTextV(format, args);
    va_end(args);
    log.AppendLogLine(text, level);
}

} // namespace tkr
