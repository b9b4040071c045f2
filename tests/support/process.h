// Test support: running a Windows program as a user would, and watching it while it runs.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tkrtest {

struct ProcessResult {
    DWORD exitCode = 0;
    std::string output; // standard output, as the program wrote it
    std::string errors; // standard error
};

// A sample taken while the program runs.
struct ProcessSample {
    size_t outputBytes;   // what it had written so far
    int handles;          // handles it held open, -1 if unknown
    size_t pagefileBytes; // its private memory
    HANDLE process;       // to end it early
};

// Runs the program with the command line (whose first word becomes its argv[0]) without a
// console, so a key-press wait ends at once. Calls `sample` now and then while it runs. With a
// token, the program runs under it.
ProcessResult RunProcess(const std::wstring& program, const std::wstring& commandLine,
                         const std::function<void(const ProcessSample&)>& sample = {},
                         HANDLE token = nullptr);

// A token like this administrator's, less the take-ownership privilege; null if it cannot be made.
HANDLE TokenWithoutTakeOwnership();

// A Linux path as Wine shows it to Windows programs (drive Z:); other paths are unchanged.
std::wstring WindowsPath(const std::string& path);

// Narrow and wide text, for assertions over ASCII output.
std::wstring Widen(const std::string& text);

} // namespace tkrtest
