// Unattended runs as deployment engines start them: exit status, summary line, check mode, log
// folder and usage errors.
#include "e2e.h"

#include <filesystem>

using namespace tkrtest;

namespace {

// The last line the run wrote to standard output, without its line end.
std::string LastLine(const std::string& console) {
    const size_t end = console.rfind("\r\n");
    const size_t start = console.rfind("\r\n", end - 1);
    return console.substr(start == std::string::npos ? 0 : start + 2, end - start - 2);
}

TEST_F(ToolTest, QuietRunsEndWithASummaryAndAStatusThatTellsWhetherAKeyFailed) {
    Seed(L".zor", L"O:SYD:P(A;;WORC;;;BA)(A;;KA;;;SY)"); // first write denied, security saved
    ToolRun run = Run(L"-q");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.console.find("Press a key"), std::string::npos);
    EXPECT_EQ(LastLine(run.console),
              "Summary: 1 key repaired, 0 failed, 0 registry links skipped, 14 keys not present");
    EXPECT_NE(run.log.find(Utf16Bytes(L"Message: Summary: 1 key repaired")), std::string::npos);

    Seed(L".qk4");
    Seed(L".qk4\\Locked", kLockedSddl);
    Seed(L".gli");
    ASSERT_EQ(SeedLink(L".gli\\lnk", L".qk4"), ERROR_SUCCESS);
    // Without the take-ownership privilege the locked key fails, under every server's rules.
    HANDLE restricted = TokenWithoutTakeOwnership();
    ASSERT_NE(restricted, nullptr);
    run = Run(L"-i3 -q", {}, restricted);
    CloseHandle(restricted);
    EXPECT_EQ(run.exitCode, 1u);
    // The locked key failed, and the keys below it cannot be listed.
    EXPECT_EQ(LastLine(run.console),
              "Summary: 3 keys repaired, 2 failed, 1 registry link skipped, 12 keys not present");
    EXPECT_TRUE(run.errors.empty());
}

TEST_F(ToolTest, AQuietRepairExitsZeroOnlyWhenACheckWouldToo) {
    // Administrators may write the DACL but, without the take-ownership privilege, not the owner;
    // or may not read the key's security, which the undo file then cannot give back.
    struct Row {
        const wchar_t* sddl;
        bool restricted;
        const char* summaryEnd;
    };
    for (const Row& row : {Row{L"O:SYD:P(A;;KA;;;BA)(A;;KA;;;SY)", true,
                               "14 keys not present, 1 without Administrators as owner"},
                           Row{kLockedSddl, false, "14 keys not present, 1 not saved for undo"}}) {
        HANDLE token = row.restricted ? TokenWithoutTakeOwnership() : nullptr;
        ASSERT_TRUE(token != nullptr || !row.restricted);
        Seed(L".qk4", row.sddl);
        const ToolRun plain = Run(L"", {}, token);
        EXPECT_EQ(plain.exitCode, 0u);
        EXPECT_EQ(plain.console.find("Fix \".qk4\" ...\r\nDONE\r\n"), 0u);
        EXPECT_EQ(plain.console.find("Summary"), std::string::npos);
        Seed(L".qk4", row.sddl);
        const ToolRun quiet = Run(L"-q", {}, token);
        if (token != nullptr) {
            CloseHandle(token);
        }
        EXPECT_EQ(quiet.exitCode, 1u);
        EXPECT_EQ(LastLine(quiet.console),
                  std::string("Summary: 1 key repaired, 0 failed, 0 registry links skipped, ") +
                      row.summaryEnd);
        // The check agrees where the owner was left: the key needs repair.
        EXPECT_EQ(Run(L"-check -q").exitCode, row.restricted ? 1u : 0u);
    }
}

TEST_F(ToolTest, CheckChangesNothingAndAgreesWithTheRepairsOfItsFlags) {
    const std::vector<std::pair<std::wstring, const wchar_t*>> keys = {
        {L".qk4", kNormalSddl}, {L".qk4\\sub", L"O:SYD:(A;CI;KA;;;BA)"}, {L".zor", kNormalSddl}};
    std::vector<std::wstring> before;
    for (const auto& [key, sddl] : keys) {
        Seed(key, sddl);
        before.push_back(KeySddl(key));
    }
    ToolRun run = Run(L"-check -q");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.console.find("Check \".qk4\" ...\r\nNEEDS REPAIR: its own DACL entries are not "
                               "the two the repair writes\r\nCheck \".qk4\\sub\" ...\r\n"
                               "NEEDS REPAIR: owner is not Administrators; its own DACL entries "
                               "are not the two the repair writes\r\n"),
              std::string::npos);
    EXPECT_NE(run.console.find("Check \".wun\" ...\r\nNOT PRESENT\r\n"), std::string::npos);
    EXPECT_EQ(LastLine(run.console),
              "Summary: 0 keys OK, 3 need repair, 0 registry links skipped, 13 keys not present");
    EXPECT_TRUE(run.undoPath.empty());
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(KeySddl(keys[i].first), before[i]);
    }

    struct Case {
        const wchar_t* arguments;
        DWORD status;
    };
    ASSERT_EQ(Run(L"-i1 -q").exitCode, 0u);
    for (const Case& c : {Case{L"-check -q -i1", 0}, Case{L"-i1 -check", 0}, Case{L"-check -q", 1},
                          Case{L"-check -q -i3", 1}}) {
        run = Run(c.arguments);
        EXPECT_EQ(run.exitCode, c.status) << Narrow(c.arguments);
        EXPECT_EQ(run.console.find("NEEDS REPAIR") == std::string::npos, c.status == 0);
    }
    EXPECT_EQ(run.console.find("Press a key"), std::string::npos);
}

TEST_F(ToolTest, TheLogGoesIntoTheFolderGivenWhichIsCreatedIfMissing) {
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    const std::wstring relative = L"tkr-logs-" + std::to_wstring(GetTickCount());
    struct Case {
        std::wstring argument;
        std::wstring folder;
    };
    Seed(L".lud");
    for (const Case& c :
         {Case{dir + L"\\missing\\nested", dir + L"\\missing\\nested"},
          Case{dir + L"\\with space \x00DCn\x00EF \x65E5\x672C",
               dir + L"\\with space \x00DCn\x00EF \x65E5\x672C"},
          Case{relative + L"\\deeper", std::wstring(current) + L"\\" + relative + L"\\deeper"}}) {
        const ToolRun run = Run(L"-q -log \"" + c.argument + L"\"");
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(run.logPath.empty()) << "a log beside the exe";
        const std::wstring log = FindFile(c.folder, L"typekey-repair_*.log");
        ASSERT_FALSE(log.empty()) << Narrow(c.folder);
        Expected expected;
        expected.Repaired(L".lud");
        EXPECT_NE(ReadBytes(log).find(Utf16Bytes(expected.log)), std::string::npos);
        EXPECT_EQ(FindFile(c.folder, L"typekey-repair_*_undo.txt").substr(0, log.size() - 4),
                  log.substr(0, log.size() - 4));
    }
    std::error_code ignored; // the relative folder is the test's own, in the working directory
    std::filesystem::remove_all(std::wstring(current) + L"\\" + relative, ignored);
}

TEST_F(ToolTest, UsageErrorsSayWhatIsWrongOnStandardErrorAndChangeNothing) {
    Seed(L".qk4");
    const std::wstring before = KeySddl(L".qk4");
    for (const wchar_t* arguments :
         {L"-log", L"-q -log", L"-log a -log b", L"-log -q", L"-log -i1", L"-undo", L"-undo -check",
          L"-undo f -check", L"-undo f -i2", L"-undo f -undo g"}) {
        const ToolRun run = Run(arguments);
        EXPECT_EQ(run.exitCode, 2u) << Narrow(arguments);
        EXPECT_TRUE(run.console.empty()) << run.console;
        EXPECT_EQ(run.errors.rfind("typekey-repair: ", 0), 0u) << run.errors;
        EXPECT_EQ(run.errors.find("\r\n"), run.errors.size() - 2) << run.errors;
        EXPECT_TRUE(run.logPath.empty());
    }
    EXPECT_EQ(KeySddl(L".qk4"), before);
}

} // namespace
