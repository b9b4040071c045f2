// Options, the check of a key's security, the undo file, changing subkey lists, locked links,
// console output and the ends of each mode, against the scripted fake.
#include "fake_win.h"

#include "driver/options.h"
#include "driver/run.h"
#include "report/report.h"
#include "security/key_check.h"

#include <gtest/gtest.h>

namespace {

constexpr wchar_t kLog[] = L"C:\\logs\\run.log";
constexpr wchar_t kUndo[] = L"C:\\logs\\run_undo.txt";

std::vector<wchar_t*> Argv(std::vector<std::wstring>& words) {
    std::vector<wchar_t*> argv;
    for (std::wstring& word : words) {
        argv.push_back(word.data());
    }
    return argv;
}

TEST(Options, UsageErrorsAndValues) {
    struct Case {
        std::vector<std::wstring> arguments;
        bool usageError;
        tkr::RunOptions expected;
    };
    const Case cases[] = {
        {{}, false, {}},
        {{L"-q", L"-check", L"-Q", L"-log", L"C:\\a b"},
         false,
         {2, false, true, true, L"C:\\a b", L""}},
        {{L"-undo", L"u.txt", L"-log", L"x", L"-q"},
         false,
         {2, false, true, false, L"x", L"u.txt"}},
        {{L"-i1", L"-i2", L"-check"}, false, {3, true, false, true, L"", L""}},
        {{L"-log"}, true, {}},
        {{L"-log", L""}, true, {}},
        {{L"-log", L"a", L"-log", L"b"}, true, {}},
        {{L"-log", L"-undo"}, true, {}},
        {{L"-undo", L"-i5"}, true, {}},
        {{L"-undo", L"f", L"-check"}, true, {}},
        {{L"-i4", L"-undo", L"f"}, true, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::wstring> words = {L"typekey-repair.exe"};
        words.insert(words.end(), c.arguments.begin(), c.arguments.end());
        tkr::RunOptions options;
        const std::wstring error =
            tkr::ParseOptions(static_cast<int>(words.size()), Argv(words).data(), options);
        const std::wstring line = words.size() > 1 ? words[1] : L"(none)";
        EXPECT_EQ(!error.empty(), c.usageError) << line.c_str();
        if (!c.usageError) {
            EXPECT_EQ(options.inheritanceFlags, c.expected.inheritanceFlags);
            EXPECT_EQ(options.inheritanceGiven, c.expected.inheritanceGiven);
            EXPECT_EQ(options.quiet, c.expected.quiet);
            EXPECT_EQ(options.check, c.expected.check);
            EXPECT_EQ(options.logFolder, c.expected.logFolder);
            EXPECT_EQ(options.undoFile, c.expected.undoFile);
        }
    }
}

TEST(Names, ControlCharactersAreShownInCaretNotationAndUndoPathsRoundTrip) {
    EXPECT_EQ(tkr::DisplayName(L"plain\ttab %s \xD83D\xDE00"), L"plain\ttab %s \xD83D\xDE00");
    EXPECT_EQ(tkr::DisplayName(std::wstring(L"a\r\nb\x1b[0m\x7f\0z", 11)), L"a^M^Jb^[[0m^?^@z");
    for (const std::wstring& path :
         {std::wstring(L".qk4\\tab\tcr\rlf\n%41%\x7f"), std::wstring(L".qk4\\\xD83D\xDE00 \x65E5"),
          L".qk4\\" + std::wstring(255, L'x')}) {
        std::wstring back;
        const std::wstring escaped = tkr::EscapeUndoPath(path);
        EXPECT_EQ(escaped.find_first_of(L"\t\r\n\x7f"), std::wstring::npos);
        ASSERT_TRUE(tkr::UnescapeUndoPath(escaped, back));
        EXPECT_EQ(back, path);
    }
    std::wstring back;
    for (const wchar_t* bad : {L"a%", L"a%4", L"a%4g", L"a%00"}) {
        EXPECT_FALSE(tkr::UnescapeUndoPath(bad, back)) << bad;
    }
    EXPECT_EQ(tkr::UndoPathFor(L"C:\\T\\tool_140303_090507.log"),
              L"C:\\T\\tool_140303_090507_undo.txt");
}

TEST(KeyCheck, OwnerAndOwnEntriesAreComparedWithWhatTheRepairWrites) {
    struct Case {
        const wchar_t* sddl;
        bool owner;
        bool dacl;
    };
    for (const Case& c :
         {Case{L"O:BAD:(A;CI;GR;;;WD)(A;CI;GA;;;BA)", true, true},
          Case{L"O:BAD:P(A;CI;KA;;;BA)(A;CI;KR;;;WD)", true, true}, // mapped, either order
          Case{L"O:BAD:(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;CIID;KA;;;SY)", true, true},
          Case{L"O:SYD:(A;CI;GR;;;WD)(A;CI;GA;;;BA)", false, true},
          Case{L"O:BAD:(A;OICI;GR;;;WD)(A;CI;GA;;;BA)", true, false},
          Case{L"O:BAD:(A;CI;GR;;;WD)", true, false},
          Case{L"O:BAD:(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;CI;KR;;;BU)", true, false},
          Case{L"O:BAD:(D;CI;GR;;;WD)(A;CI;GA;;;BA)", true, false},
          Case{L"O:BAD:(A;CI;GA;;;WD)(A;CI;GA;;;BA)", true, false},
          Case{L"O:BAD:(A;CI;GR;;;WD)(A;CI;GR;;;WD)", true, false},
          Case{L"O:WDD:NO_ACCESS_CONTROL", false, false}}) {
        FakeWindows fake;
        fake.AddKey(L".qk4");
        fake.keys[L".qk4"].sddl = c.sddl;
        const tkr::KeyCheck check = tkr::CheckKeySecurity(L"CLASSES_ROOT\\.qk4", 2);
        EXPECT_EQ(check.ownerIsAdministrators, c.owner) << c.sddl;
        EXPECT_EQ(check.daclIsRepairDacl, c.dacl) << c.sddl;
    }
    EXPECT_EQ(tkr::CheckResultText({ERROR_FILE_NOT_FOUND}), L"NOT PRESENT");
    EXPECT_EQ(tkr::CheckResultText({ERROR_ACCESS_DENIED}),
              L"NEEDS REPAIR: its security cannot be read (error 5)");
    EXPECT_EQ(tkr::CheckResultText({0, true, true}), L"OK");
}

class Fake : public ::testing::Test {
  protected:
    void SetUp() override { tkr::RunLogPath = kLog; }
    void TearDown() override {
        tkr::RunLogPath.clear();
        tkr::InitConsoleOutput(); // back to redirected, as the fake answers by default
    }
    FakeWindows fake;
};

TEST_F(Fake, EachKeysEntryIsWholeInTheUndoFileBeforeItsFirstSecurityWrite) {
    fake.AddKey(L".qk4");
    fake.AddKey(L".qk4\\locked");
    fake.keys[L".qk4\\locked"].readStatus = ERROR_ACCESS_DENIED;
    tkr::UndoWriter undo(kUndo);
    tkr::RepairAction action(2, undo);
    tkr::Tally tally;
    tkr::WalkKeyTree(L".qk4", action, tally);

    EXPECT_EQ(fake.files[kUndo], std::wstring(L"\xFEFF") + tkr::kUndoHeader +
                                     L"\r\n.qk4\tO:BAD:P(A;;KA;;;BA)\r\n"
                                     L".qk4\\locked\tunreadable 5\r\n");
    std::vector<std::wstring> order;
    for (const std::wstring& line : fake.journal) {
        if (line.find(L"undo") != std::wstring::npos ||
            line.rfind(L"SetNamedSecurityInfoW", 0) == 0 ||
            line.rfind(L"RegGetKeySecurity", 0) == 0 ||
            line.find(L"options=0xc") != std::wstring::npos) {
            order.push_back(line.substr(0, line.find(L" type=")));
        }
    }
    const std::vector<std::wstring> expected = {
        L"CreateFileW C:\\logs\\run_undo.txt access=0x40000000 share=1 security=null "
        L"disposition=4 attributes=2097280 template=null",
        L"GetFileInformationByHandleEx C:\\logs\\run_undo.txt 9",
        L"GetFileInformationByHandleEx C:\\logs\\run_undo.txt 1",
        L"SetFilePointer C:\\logs\\run_undo.txt 0 0 2",
        L"WriteFile C:\\logs\\run_undo.txt 76", // the byte-order mark and the header
        L"WriteFile C:\\logs\\run_undo.txt 52",
        L"SetNamedSecurityInfoW CLASSES_ROOT\\.qk4",
        L"SetNamedSecurityInfoW CLASSES_ROOT\\.qk4",
        L"SetNamedSecurityInfoW CLASSES_ROOT\\.qk4",
        // Denied the plain read: tried again for a backup, which Wine does not honour either.
        L"RegOpenKeyExW HKCR .qk4\\locked options=0xc access=0x20000",
        L"RegGetKeySecurity .qk4\\locked",
        L"WriteFile C:\\logs\\run_undo.txt 52",
        L"SetNamedSecurityInfoW CLASSES_ROOT\\.qk4\\locked",
        L"SetNamedSecurityInfoW CLASSES_ROOT\\.qk4\\locked",
        L"SetNamedSecurityInfoW CLASSES_ROOT\\.qk4\\locked",
    };
    EXPECT_EQ(order, expected);
    // The backup privilege is enabled for the read and disabled after it.
    EXPECT_EQ(fake.Calls(L"LookupPrivilegeValueW null SeBackupPrivilege").size(), 2u);
}

TEST_F(Fake, AnUndoEntryThatCannotBeWrittenIsAWarningAndTheRepairGoesOn) {
    fake.AddKey(L".qk4");
    fake.outcomes["CreateFileW"] = {0, ERROR_SHARING_VIOLATION}; // the log's, then the undo's
    tkr::UndoWriter undo(kUndo);
    tkr::RepairAction action(2, undo);
    tkr::Tally tally;
    tkr::WalkKeyTree(L".qk4", action, tally);
    EXPECT_EQ(tally[tkr::Outcome::Done], 1u);
    EXPECT_EQ(fake.LogLines(kLog),
              (std::vector<std::wstring>{
                  L"Message: Fix \".qk4\" ...",
                  L"Warning: \tPrevious owner and DACL not saved in the undo file. Error: 32",
                  L"Message: \tSuccessfully changed DACL permissions",
                  L"Message: \tSuccessfully changed DACL owner", L"Message: DONE"}));
}

TEST_F(Fake, NamesAreReadAgainWhileTheListChangesAndMergedWithoutRepeats) {
    fake.AddKey(L".zor");
    fake.keys[L".zor"].children = {L"a", L"c"}; // the first read misses "b", shifted under it
    HKEY key = nullptr;
    ASSERT_EQ(win::RegOpenKeyExW(HKEY_CLASSES_ROOT, L".zor", 0, KEY_READ, &key), 0);
    fake.onWait = [&] { fake.keys[L".zor"].children = {L"a", L"b", L"c"}; };
    fake.outcomes["WaitForSingleObject"] = {1, 1}; // two reads disturbed, the third not
    EXPECT_EQ(tkr::ReadSubkeyNames(key), (std::vector<std::wstring>{L"a", L"c", L"b"}));
    EXPECT_EQ(fake.Calls(L"RegNotifyChangeKeyValue .zor").size(), 3u);

    fake.journal.clear();
    fake.outcomes["WaitForSingleObject"] = std::deque<DWORD>(40, 1); // it never settles
    EXPECT_EQ(tkr::ReadSubkeyNames(key).size(), 3u);
    EXPECT_EQ(fake.Calls(L"RegNotifyChangeKeyValue .zor").size(), 16u);
    win::RegCloseKey(key);
}

TEST_F(Fake, AKeyThePlainLinkCheckCannotOpenIsALinkUnlessItsNameResolvesToItself) {
    struct Case {
        LSTATUS linkCheck;
        const wchar_t* target;
        bool link;
    };
    for (const Case& c : {Case{ERROR_ACCESS_DENIED, L"elsewhere", true},
                          Case{ERROR_ACCESS_DENIED, L"", false}, Case{ERROR_SUCCESS, L"", false}}) {
        fake.AddKey(L".gli");
        fake.keys[L".gli"].linkCheckStatus = c.linkCheck;
        fake.keys[L".gli"].target = c.target;
        EXPECT_EQ(tkr::IsRegistryLink(L".gli"), c.link) << c.target;
    }
    EXPECT_FALSE(tkr::IsRegistryLink(L".missing"));
    EXPECT_EQ(fake.openKeys, 0);
}

TEST_F(Fake, ConsoleLinesAreExactOnATerminalAndWholeWhenRedirected) {
    const std::wstring text = L"Fix \".qk4\\\x00DC \x03A9 \x65E5\xD83D\xDE00\" ...";
    tkr::ShowReport(tkr::ReportLevel::Message, L"%ls", text.c_str());
    EXPECT_EQ(fake.console, L"Fix \".qk4\\\x00DC ? ??\" ...\n");
    fake.console.clear();
    fake.consoleIsTerminal = true;
    tkr::InitConsoleOutput();
    tkr::ShowReport(tkr::ReportLevel::Message, L"%ls", text.c_str());
    EXPECT_EQ(fake.console, text + L"\r\n");
}

TEST(Modes, EachEndsWithItsSummaryAndStatus) {
    struct Case {
        std::vector<std::wstring> arguments;
        int status;
        std::wstring last; // the last console line
    };
    const Case cases[] = {
        {{L"-q"},
         0,
         L"Summary: 1 key repaired, 0 failed, 1 registry link skipped, 14 keys not present"},
        {{L"-check", L"-q"},
         1,
         L"Summary: 0 keys OK, 1 needs repair, 1 registry link skipped, 14 keys not present"},
        {{L"-check", L"-q", L"-i5"},
         0,
         L"Summary: 1 key OK, 0 need repair, 1 registry link skipped, 14 keys not present"},
        {{L"-check"}, 1, L"Press a key to close..."},
        {{}, 0, L"Press a key to close..."},
        {{L"-log"}, 2, L""},
    };
    for (const Case& c : cases) {
        FakeWindows fake;
        fake.strictKeys = true;
        fake.AddKey(L".qk4");
        fake.keys[L".qk4"].sddl = L"O:BAD:(A;IO;GR;;;WD)(A;IO;GA;;;BA)";
        fake.AddKey(L".qk4\\link");
        fake.keys[L".qk4\\link"].isLink = true;
        std::vector<std::wstring> words = {L"typekey-repair.exe"};
        words.insert(words.end(), c.arguments.begin(), c.arguments.end());
        const int status = tkr::RunRepair(static_cast<int>(words.size()), Argv(words).data());
        EXPECT_EQ(status, c.status) << words.back();
        const std::wstring console = fake.console;
        const size_t end = console.size() - (console.empty() || console.back() != L'\n' ? 0 : 1);
        const size_t start = console.rfind(L'\n', end - 1);
        EXPECT_EQ(console.substr(start == std::wstring::npos ? 0 : start + 1,
                                 end - (start == std::wstring::npos ? 0 : start + 1)),
                  c.last)
            << words.back();
        EXPECT_EQ(fake.errors.empty(), c.status != 2);
        tkr::RunLogPath.clear();
    }
}

} // namespace
