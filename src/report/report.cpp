#include "report/report.h"

#include "platform/unique.h"
#include "platform/win_api.h"

#include <climits>
#include <cstdarg>
#include <cwchar>
#include <string_view>

namespace tkr {

std::wstring RunLogPath;

namespace {

// How lines reach standard output and error; redirected until InitConsoleOutput looks.
struct StdStream {
    DWORD which;
    FILE* stream;
    bool isConsole;
};
StdStream g_output{STD_OUTPUT_HANDLE, stdout, false};
StdStream g_error{STD_ERROR_HANDLE, stderr, false};

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return win::GetConsoleMode(win::GetStdHandle(which), &mode) != FALSE;
}

void WriteLine(const StdStream& out, const std::wstring& text) {
    if (out.isConsole) {
        const std::wstring line = text + L"\r\n";
        DWORD written = 0;
        win::WriteConsoleW(win::GetStdHandle(out.which), line.data(),
                           static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    // The runtime's wide printf, as ever, writes what it can convert; a character it cannot
    // convert (or a pair of surrogates, one character) becomes "?" first, since the printf
    // would stop there and lose the rest of the line.
    std::wstring line;
    line.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c >= 0x80) {
            char converted[MB_LEN_MAX];
            if (IS_HIGH_SURROGATE(c) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1])) {
                ++i;
                c = L'?';
            } else if (win::wctomb(converted, c) <= 0) {
                c = L'?';
            }
        }
        line.push_back(c);
    }
    win::fwprintf(out.stream, L"%ls\n", line.c_str());
}

// A reparse point or a file with other names is not the plain file the name promised.
DWORD CheckPlainFile(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!win::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        !win::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
        return win::GetLastError();
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || standard.NumberOfLinks > 1 ||
        standard.Directory) {
        return ERROR_CANT_ACCESS_FILE;
    }
    return ERROR_SUCCESS;
}

// Creates each missing folder of the path in turn; what cannot be created shows when the log
// is written. Only SYSTEM and Administrators may write in the folders it creates (everyone may
// read), so that no other user can plant or replace a file there.
void CreateFolders(const std::wstring& folder) {
    UniqueDescriptor descriptor;
    win::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;WD)", SDDL_REVISION_1, descriptor.put(),
        nullptr);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
    for (size_t at = folder.find_first_of(L"\\/", 1);; at = folder.find_first_of(L"\\/", at + 1)) {
        win::CreateDirectoryW(folder.substr(0, at).c_str(), descriptor ? &security : nullptr);
        if (at == std::wstring::npos) {
            break;
        }
    }
}

} // namespace

std::wstring DisplayName(const std::wstring& name) {
    std::wstring shown;
    shown.reserve(name.size());
    for (const wchar_t c : name) {
        if ((c < 0x20 && c != L'\t') || c == 0x7F) {
            shown.push_back(L'^');
            shown.push_back(c == 0x7F ? L'?' : static_cast<wchar_t>(c + L'@'));
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}

void InitConsoleOutput() {
    g_output.isConsole = IsConsole(STD_OUTPUT_HANDLE);
    g_error.isConsole = IsConsole(STD_ERROR_HANDLE);
}

void WriteOutputLine(const std::wstring& text) {
    WriteLine(g_output, text);
}

void WriteErrorLine(const std::wstring& text) {
    WriteLine(g_error, text);
}

UniqueFile OpenForAppend(const std::wstring& path, DWORD& error, LONGLONG& size) {
    // The reparse point itself is opened, never what it points at, so that the check sees it.
    UniqueFile file(
        win::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        error = win::GetLastError();
        return file;
    }
    error = CheckPlainFile(file.get());
    if (error != ERROR_SUCCESS) {
        return UniqueFile();
    }
    LONG high = 0;
    const DWORD low = win::SetFilePointer(file.get(), 0, &high, FILE_END);
    size = (static_cast<LONGLONG>(high) << 32) | low;
    return file;
}

UniqueFile CreateNewFile(const std::wstring& path, DWORD& error) {
    UniqueFile file(
        win::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    error = file ? CheckPlainFile(file.get()) : win::GetLastError();
    return error == ERROR_SUCCESS ? std::move(file) : UniqueFile();
}

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
    WriteOutputLine(text);
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
    DWORD error = ERROR_SUCCESS;
    LONGLONG size = 0;
    const UniqueFile file = OpenForAppend(RunLogPath, error, size);
    if (!file) {
        return; // a line that cannot be written is dropped
    }
    DWORD written = 0;
    win::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)),
                   &written, nullptr);
}

void InitRunLogPath(const wchar_t* programPath, const std::wstring& logFolder) {
    if (programPath == nullptr) {
        return; // no program path, no log
    }
    std::wstring path(programPath);
    win::PathRemoveExtensionW(path.data());
    path.resize(wcslen(path.c_str()));
    if (path.empty()) {
        return;
    }
    if (!logFolder.empty()) {
        CreateFolders(logFolder);
        const size_t slash = path.find_last_of(L"\\/");
        const wchar_t last = logFolder.back();
        path = logFolder + (last == L'\\' || last == L'/' ? L"" : L"\\") +
               path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    }
    const __time64_t now = win::_time64(nullptr);
    RunLogPath = path + FormatLogSuffix(now);
}

std::wstring ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            win::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return L"";
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2); // cut short: try again with room to spare
    }
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
