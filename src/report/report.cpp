#include "report/report.h"

#include "platform/unique.h"
#include "platform/win_api.h"

#include <cstdarg>
#include <cwchar>
#include <string_view>

namespace tkr {

std::wstring RunLogPath;

const wchar_t* ReportLevelLabel(ReportLevel level) {
    switch (level) {
    case ReportLevel::Message:
        return L"Message";
    case ReportLevel::Warning:
        return L"Warning";
    case ReportLevel::Error:
        return L"!ERROR!";
    }
    return L"";
}

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
    if (win::vswprintf_s(text.data(), text.size() + 1, format, args) != length) {
        throw FatalError{L"A report text could not be formatted."};
    }
    return text;
}

std::wstring FormatText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatTextV(format, args);
    va_end(args);
    return text;
}

void ShowReport(ReportLevel level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring text = FormatTextV(format, args);
    va_end(args);
    win::wprintf(L"%ls\n", text.c_str());
    AppendLogLine(text, level);
}

void LogReport(ReportLevel level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring text = FormatTextV(format, args);
    va_end(args);
    AppendLogLine(text, level);
}

std::wstring FormatLogLine(const std::wstring& text, ReportLevel level) {
    // "%s: %s" of label and text, joined directly: a text may be long, and this runs per line.
    const std::wstring_view label = ReportLevelLabel(level);
    std::wstring line;
    line.reserve(label.size() + 2 + text.size() + 2);
    return line.append(label).append(L": ").append(text);
}

void AppendLogLine(const std::wstring& text, ReportLevel level) {
    if (text.empty()) {
        return;
    }
    const std::wstring line = FormatLogLine(text, level).append(L"\r\n");
    // Opened and closed for every line, so each line is complete in the file once written and
    // no other writer can interleave within it.
    const UniqueFile file(win::CreateFileW(RunLogPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return; // a line that cannot be written is dropped
    }
    LONG high = 0;
    win::SetFilePointer(file.get(), 0, &high, FILE_END);
    DWORD written = 0;
    win::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)),
                   &written, nullptr);
}

void InitRunLogPath(const wchar_t* programPath) {
    if (programPath == nullptr) {
        return; // started with an empty command line: no program path, no log
    }
    std::wstring path(programPath);
    win::PathRemoveExtensionW(path.data());
    path.resize(wcslen(path.c_str()));
    if (path.empty()) {
        return;
    }
    const __time64_t now = win::_time64(nullptr);
    RunLogPath = path + FormatLogSuffix(now);
}

std::wstring FormatLogSuffix(__time64_t time) {
    struct tm local {};
    if (win::_localtime64_s(&local, &time) != 0) {
        throw FatalError{L"The start time could not be converted to local time."};
    }
    wchar_t buffer[128];
    const size_t length = win::wcsftime(buffer, 128, L"_%y%m%d_%H%M%S.log", &local);
    return std::wstring(buffer, length);
}

} // namespace tkr
