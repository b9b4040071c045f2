#include "report/console.h"

#include "platform/win_api.h"

#include <climits>

namespace tkr {
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

} // namespace

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

} // namespace tkr
