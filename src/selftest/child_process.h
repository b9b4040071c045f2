// Runs the tool as an administrator would from a script: a child process with its output kept.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tkr::selftest {

struct ChildRun {
    DWORD startError = ERROR_SUCCESS; // CreateProcessW's, when it could not start
    DWORD exitCode = 0;
    std::string output; // standard output and error, as written
};

// Runs the program with the command line (its first word is argv[0]) without a console, standard
// output and error to one pipe. Calls `poll` every few milliseconds while it runs.
[[nodiscard]] ChildRun RunChild(const std::wstring& program, const std::wstring& commandLine,
                                const std::function<void()>& poll = {});

} // namespace tkr::selftest
