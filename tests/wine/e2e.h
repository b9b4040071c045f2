// End-to-end runs of the packaged exe on Wine's registry.
#pragma once

#include "files.h"
#include "process.h"
#include "registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tkrtest {

// Paths given on the test program's command line.
extern std::wstring ToolPath;
extern std::wstring LogWriterPath;
extern std::wstring SelfTestPath; // typekey-repair-selftest.exe
extern std::wstring StandInPath;  // a stand-in for the tool with a fault of its choosing

struct ToolRun {
    DWORD exitCode = 0;
    std::string console;
    std::string errors;
    std::wstring logPath;  // empty when the run left no log beside the exe
    std::string log;       // its bytes
    std::wstring undoPath; // the same for the undo file
    std::string undo;
};

// Each test starts with none of the table keys and its own copy of the exe.
class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override;
    // Runs the copy with these arguments after its path. Its log and undo file are read and
    // then removed.
    ToolRun Run(const std::wstring& arguments = L"",
                const std::function<void(const ProcessSample&)>& sample = {},
                HANDLE token = nullptr);
    // Runs the copy with this whole command line (its first word becomes argv[0]).
    ToolRun RunLine(const std::wstring& commandLine,
                    const std::function<void(const ProcessSample&)>& sample = {},
                    HANDLE token = nullptr);
    void Seed(const std::wstring& path, const wchar_t* sddl = kNormalSddl) {
        ASSERT_EQ(SeedKey(path, sddl), ERROR_SUCCESS) << std::string(path.begin(), path.end());
    }

    std::wstring dir;
    std::wstring exe;
};

// The console lines and log lines of one key, as a run shows them.
struct Expected {
    std::string console;
    std::wstring log;
    void Repaired(const std::wstring& key, bool denied = false);
    // A key whose DACL grants administrators nothing: repaired after the denied first write
    // under Windows' rules (the strict server); stock Wine refuses the owner write.
    void Locked(const std::wstring& key);
    void Missing(const std::wstring& key);
    void Link(const std::wstring& key);
};

std::string Narrow(const std::wstring& text);
// How often `what` occurs in the text.
size_t Count(const std::string& text, const std::string& what);
// The one file in dir matching the pattern, or an empty path.
std::wstring FindFile(const std::wstring& dir, const std::wstring& pattern);
// The log name's suffix for each second from `from` to `to`: "_yymmdd_HHMMSS".
std::vector<std::wstring> TimeStamps(__time64_t from, __time64_t to);

} // namespace tkrtest
