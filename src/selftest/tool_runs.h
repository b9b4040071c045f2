// The tool's runs as the self-test makes them: each a child process with a log folder of its own
// and its command line, exit status and output kept in the report folder; what they print and
// log read back.
#pragma once

#include "platform/unique.h"

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tkr::selftest {

// The first file in the folder that matches the pattern, or an empty path.
[[nodiscard]] std::wstring FindFile(const std::wstring& folder, const std::wstring& pattern);
// A run's output (the runtime's narrow text) as wide text, lines ended by "\n".
[[nodiscard]] std::wstring Widen(const std::string& text);
// The line that follows `<verb> "<path>" ...` in a run's output; empty where the key was not
// announced.
[[nodiscard]] std::wstring ResultOf(const std::wstring& output, const wchar_t* verb,
                                    const std::wstring& path);

// The lines of a run's log, read while it runs: when each key was announced.
class LogWatch {
  public:
    explicit LogWatch(std::wstring folder) : folder_(std::move(folder)) {}
    void Poll();
    // Seconds from the announcement of `path` to that of the first key outside its tree (or the
    // run's end); negative if it was not seen.
    [[nodiscard]] double Seconds(const std::wstring& path) const;

  private:
    std::wstring folder_;
    UniqueFile file_;
    std::string pending_;
    std::vector<std::pair<std::wstring, ULONGLONG>> announced_;
    ULONGLONG now_ = 0;
};

struct ToolRun {
    DWORD exitCode = 0;
    bool timedOut = false; // stopped at the time limit
    std::wstring output;   // lines ended by "\n"
    std::wstring logFolder;
};

class Report;

class Runner {
  public:
    Runner(std::wstring exe, std::wstring folder, Report& report)
        : exe_(std::move(exe)), folder_(std::move(folder)), report_(report) {}
    [[nodiscard]] const std::wstring& Exe() const { return exe_; }
    [[nodiscard]] std::wstring LogFolder(const std::wstring& name) const;
    // The INFO line with the command that gives the trees back what the undo file holds.
    [[nodiscard]] std::wstring UndoHint(const std::wstring& undoFile) const {
        return L"INFO: to give the trees back what the undo file holds: \"" + exe_ +
               L"\" -undo \"" + undoFile + L"\" -q";
    }
    // Runs the tool with the arguments and "-log <the folder's subfolder `name`>", calling `poll`
    // now and then while it runs; keeps the run in "<name>.txt". A run stopped at the time limit
    // has a FAIL line of its own.
    ToolRun Run(const std::wstring& name, const std::wstring& arguments,
                const std::function<void()>& poll = {});

  private:
    std::wstring exe_;
    std::wstring folder_;
    Report& report_;
};

} // namespace tkr::selftest
