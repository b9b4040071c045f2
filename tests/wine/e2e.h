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

struct ToolRun {
    DWORD exitCode = 0;
    std::string console;
    std::wstring logPath; // empty when the run left no log
    std::string log;      // its bytes
};

// Each test starts with none of the table keys and its own copy of the exe.
class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override;
    // Runs the copy with these arguments after its path.
    ToolRun Run(const std::wstring& arguments = L"",
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
    void Locked(const std::wstring& key);
    void Missing(const std::wstring& key);
    void Link(const std::wstring& key);
};

std::string Narrow(const std::wstring& text);

} // namespace tkrtest
