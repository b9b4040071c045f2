#include "report/console.h"

#include "platform/win_api.h"

#include <climits>
#include <cstdlib>

namespace tkr {
namespace {

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return win::GetConsoleMode(win::GetStdHandle(which), &mode) != FALSE;
}

void WriteLine(DWORD which, FILE* stream, bool isConsole, const std::wstring& text) {
    if (isConsole) {
        const std::wstring line = text + L"\r\n";
        DWORD written = 0;
        win::WriteConsoleW(win::GetStdHandle(which), line.data(), static_cast<DWORD>(line.size()),
                           &written, nullptr);
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
            } else if (::wctomb(converted, c) <= 0) {
                c = L'?';
            }
        }
        line.push_back(c);
    }
    win::fwprintf(stream, L"%ls\n", line.c_str());
}

} // namespace

Console Console::Detect() {
    return Console(IsConsole(STD_OUTPUT_HANDLE), IsConsole(STD_ERROR_HANDLE));
}

void Console::WriteOutputLine(const std::wstring& text) const {
    WriteLine(STD_OUTPUT_HANDLE, stdout, outputIsConsole_, text);
}

void Console::WriteErrorLine(const std::wstring& text) const {
    WriteLine(STD_ERROR_HANDLE, stderr, errorIsConsole_, text);
}

} // namespace tkr
