// Runs the tool as an administrator would from a script: a child process with its output kept,
// which ends with the self-test and within a time limit.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tkr::selftest {

struct ChildRun {
    DWORD startError = ERROR_SUCCESS; // CreateProcessW's, when it could not start
    DWORD exitCode = 0;
    bool timedOut = false; // stopped at the time limit
    std::string output;    // standard output and error, as written
};

// How long one run of the tool may take before it is stopped: far more than the self-test's
// trees need on any machine, so that a run that hangs is reported instead of waited for.
inline constexpr DWORD kChildTimeLimitMs = 10 * 60 * 1000;

// Runs the program with the command line (its first word is argv[0]) without a console, standard
// output and error to one pipe, in a job that ends it (and whatever it starts) when the time
// limit passes, when the self-test is interrupted (Ctrl+C, the console closed) and when the
// self-test ends in any way. Calls `poll` every few milliseconds while it runs.
[[nodiscard]] ChildRun RunChild(const std::wstring& program, const std::wstring& commandLine,
                                const std::function<void()>& poll = {},
                                DWORD timeLimitMs = kChildTimeLimitMs);

} // namespace tkr::selftest
