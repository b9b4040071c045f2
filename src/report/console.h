// Console output: whole lines on standard output and standard error.
#pragma once

#include <string>

namespace tkr {

// Where console lines go: set once at start-up, from what standard output and error are.
void InitConsoleOutput();
// Writes one whole line to standard output (or error): as exact UTF-16 text on a console;
// otherwise as the runtime converts each character, "?" for one it cannot, and a line end.
void WriteOutputLine(const std::wstring& text);
void WriteErrorLine(const std::wstring& text);

} // namespace tkr
