// The packaged exe as an administrator runs it: console, log and the keys afterwards.
#include "e2e.h"

using namespace tkrtest;

namespace {

const std::string kPrompt = "Press a key to close...";

TEST_F(ToolTest, MixedTableGivesTheExactTranscriptLogAndKeys) {
    const std::wstring longName(255, L'L');
    Seed(L".qk4");
    Seed(L".qk4\\A", kDeniedSddl);
    Seed(L".qk4\\A\\A1");
    Seed(L".qk4\\B");
    Seed(L".zor", kDeniedSddl);
    Seed(L".wun");
    Seed(L".wun\\Locked", kLockedSddl);
    Seed(L".wun\\Locked\\Hidden");
    Seed(L".wun\\Open");
    Seed(L".kaf");
    Seed(L".kaf\\" + longName);
    Seed(L".kaf\\" + longName + L"\\below");

    Expected expected;
    for (const std::wstring& key : kTableKeys) {
        if (key == L".qk4") {
            expected.Repaired(L".qk4");
            expected.Repaired(L".qk4\\A", true);
            expected.Repaired(L".qk4\\A\\A1");
            expected.Repaired(L".qk4\\B");
        } else if (key == L".zor") {
            expected.Repaired(L".zor", true);
        } else if (key == L".wun") {
            expected.Repaired(L".wun");
            expected.Locked(L".wun\\Locked");
            if (StrictServer()) {
                expected.Repaired(L".wun\\Locked\\Hidden");
            }
            expected.Repaired(L".wun\\Open");
        } else if (key == L".kaf") {
            expected.Repaired(L".kaf");
            expected.Repaired(L".kaf\\" + longName);
            expected.Repaired(L".kaf\\" + longName + L"\\below");
        } else {
            expected.Missing(key);
        }
    }

    const ToolRun run = Run();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.console, expected.console + kPrompt);
    EXPECT_EQ(run.log, Utf16Bytes(expected.log));

    for (const wchar_t* key : {L".qk4", L".qk4\\A", L".qk4\\A\\A1", L".qk4\\B", L".zor", L".wun",
                               L".wun\\Open", L".kaf"}) {
        EXPECT_TRUE(IsRepairedSddl(KeySddl(key), 2)) << Narrow(key) << ": " << Narrow(KeySddl(key));
    }
    EXPECT_TRUE(IsRepairedSddl(KeySddl(L".kaf\\" + longName + L"\\below"), 2));
    if (StrictServer()) {
        EXPECT_TRUE(IsRepairedSddl(KeySddl(L".wun\\Locked\\Hidden"), 2));
    } else {
        EXPECT_EQ(KeySddl(L".wun\\Locked"), L"error 5");
    }
    EXPECT_FALSE(KeyExists(L".rux"));
}

TEST_F(ToolTest, OptionsChooseTheInheritanceOfBothEntries) {
    struct Case {
        const wchar_t* arguments;
        unsigned flags;
    };
    Seed(L".hib");
    Seed(L".hib\\sub");
    for (const Case& c : {Case{L"", 2}, Case{L"-I1 -i1x /i2", 2}, Case{L"-i1 -i2", 3},
                          Case{L"-i3 -i4", 7}, Case{L"-i5", 8}, Case{L"-i1", 1}}) {
        const ToolRun run = Run(c.arguments);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(IsRepairedSddl(KeySddl(L".hib"), c.flags)) << Narrow(c.arguments);
        // Inherit-only entries do not apply to the key itself: it cannot be read and the walk
        // stops there.
        const bool walked = run.console.find("Fix \".hib\\sub\"") != std::string::npos;
        EXPECT_EQ(walked, c.flags != 8) << Narrow(c.arguments);
        if (walked) {
            EXPECT_TRUE(IsRepairedSddl(KeySddl(L".hib\\sub"), c.flags)) << Narrow(c.arguments);
        }
        DeleteFileW(run.logPath.c_str());
    }
}

TEST_F(ToolTest, NoTableKeysStillEndsWithThePromptAndStatusZero) {
    Expected expected;
    for (const std::wstring& key : kTableKeys) {
        expected.Missing(key);
    }
    const ToolRun run = Run();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.console, expected.console + kPrompt);
    EXPECT_EQ(run.log, Utf16Bytes(expected.log));
}

TEST_F(ToolTest, TheLogIsBesideTheProgramAndNamedAfterItHoweverItWasStarted) {
    // argv[0] as a search-path start, a relative start, forward slashes and a dotted folder, a
    // renamed start: none of them may move or rename the log.
    for (const std::wstring& argv0 :
         {std::wstring(L"typekey-repair"), std::wstring(L"./typekey-repair"),
          std::wstring(L"C:/my.tools/typekey-repair"), L"\"" + dir + L"\\renamed\""}) {
        const ToolRun run = RunLine(argv0 + L" -i5");
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_FALSE(run.logPath.empty()) << Narrow(argv0); // RunLine checks its name
        DeleteFileW(run.logPath.c_str());
        DeleteFileW(run.undoPath.c_str());
    }
}

TEST_F(ToolTest, WithoutTheTakeOwnershipPrivilegeOnlyKeysWritableDirectlyAreRepaired) {
    Seed(L".qk4");
    Seed(L".zor", kDeniedSddl);
    HANDLE restricted = TokenWithoutTakeOwnership();
    ASSERT_NE(restricted, nullptr);
    const ToolRun run = Run(L"", {}, restricted);
    CloseHandle(restricted);

    EXPECT_EQ(run.exitCode, 0u);
    const std::wstring notAdmin = L"!ERROR!: \tYou must be logged on as Administrator.\r\n";
    std::wstring expected = L"Message: Fix \".qk4\" ...\r\n"
                            L"Message: \tSuccessfully changed DACL permissions\r\n" +
                            notAdmin + L"Message: DONE\r\n" + L"Message: Fix \".zor\" ...\r\n" +
                            L"Warning: \tFirst SetNamedSecurityInfo access denide\r\n" + notAdmin +
                            L"!ERROR!: ERROR OCCURED\r\n";
    EXPECT_EQ(run.log.substr(0, expected.size() * 2), Utf16Bytes(expected));
    EXPECT_EQ(run.console.substr(0, 53),
              "Fix \".qk4\" ...\r\nDONE\r\nFix \".zor\" ...\r\nERROR OCCURED\r\n");
    EXPECT_TRUE(IsRepairedSddl(KeySddl(L".qk4"), 2));
    EXPECT_EQ(KeySddl(L".zor"), L"error 5");
}

} // namespace

namespace {

TEST_F(ToolTest, HelpPrintsTheUsageAndChangesNothing) {
    Seed(L".qk4", L"O:SYD:(A;;KA;;;SY)(A;;KA;;;BA)");
    const std::wstring before = KeySddl(L".qk4");
    for (const wchar_t* arguments :
         {L"-?", L"/?", L"-h", L"-help", L"--help", L"-q -check /?", L"-log --help"}) {
        const ToolRun run = Run(arguments);
        EXPECT_EQ(run.exitCode, 0u) << Narrow(arguments);
        EXPECT_EQ(run.console.rfind("typekey-repair 1.0.0.1\r\nRepairs ", 0), 0u)
            << Narrow(arguments) << run.console;
        EXPECT_NE(run.console.find("Usage: typekey-repair [-i1]"), std::string::npos);
        EXPECT_TRUE(run.logPath.empty()) << Narrow(arguments);
        EXPECT_TRUE(run.undoPath.empty()) << Narrow(arguments);
    }
    EXPECT_EQ(KeySddl(L".qk4"), before);
}

} // namespace
