// The check of a key's security, the undo file, changing subkey lists and console output,
// against the scripted fake.
#include "fake_win.h"

#include "modes/repair_mode.h"
#include "report/report.h"
#include "security/key_check.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr wchar_t kLog[] = L"C:\\logs\\run.log";
constexpr wchar_t kUndo[] = L"C:\\logs\\run_undo.txt";

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
        const std::wstring path = L".qk4";
        const tkr::KeyCheck check =
            tkr::CheckKeySecurity(tkr::TreeKey(HKEY_CLASSES_ROOT, path, path), 2);
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
    void TearDown() override { tkr::RunLogPath.clear(); }
    FakeWindows fake;
};

TEST_F(Fake, EachKeysEntryIsWholeInTheUndoFileBeforeItsFirstSecurityWrite) {
    fake.AddKey(L".qk4");
    fake.AddKey(L".qk4\\locked");
    fake.keys[L".qk4\\locked"].readStatus = ERROR_ACCESS_DENIED;
    tkr::UndoWriter undo(kUndo);
    const tkr::RepairDacl dacl(2);
    tkr::RepairAction action(dacl, undo);
    tkr::Tally tally;
    tkr::WalkKeyTree(L".qk4", action, tally);

    EXPECT_EQ(fake.files[kUndo], std::wstring(L"\xFEFF") + tkr::kUndoHeader +
                                     L"\r\n.qk4\tO:BAD:P(A;;KA;;;BA)\r\n"
                                     L".qk4\\locked\tunreadable 5\r\n");
    // Each entry is written (whole, one WriteFile) before the key's first security write; the
    // plain read denied, the read under the backup privilege is tried (which Wine does not
    // honour either), and the privilege is off again.
    std::vector<std::wstring> order;
    for (const std::wstring& line : fake.journal) {
        for (const wchar_t* call :
             {L"WriteFile C:\\logs\\run_undo", L"SetSecurityInfo", L"RegGetKeySecurity"}) {
            if (line.rfind(call, 0) == 0) {
                order.push_back(line.substr(0, line.find(L" type=")));
            }
        }
    }
    order.erase(std::unique(order.begin(), order.end()), order.end());
    EXPECT_EQ(order, (std::vector<std::wstring>{
                         L"WriteFile C:\\logs\\run_undo.txt 76", // byte-order mark and header
                         L"WriteFile C:\\logs\\run_undo.txt 52", L"SetSecurityInfo .qk4",
                         L"RegGetKeySecurity .qk4\\locked", L"WriteFile C:\\logs\\run_undo.txt 52",
                         L"SetSecurityInfo .qk4\\locked"}));
    EXPECT_EQ(fake.Calls(L"RegOpenKeyExW .qk4\\locked options=0xc access=0x20001").size(), 1u);
    EXPECT_TRUE(fake.privilegesOn.empty());
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

TEST_F(Fake, ConsoleLinesAreExactOnATerminalAndWholeWhenRedirected) {
    const std::wstring text = L"Fix \".qk4\\\x00DC \x03A9 \x65E5\xD83D\xDE00\" ...";
    tkr::ShowReport(tkr::ReportLevel::Message, L"%ls", text.c_str());
    EXPECT_EQ(fake.console, L"Fix \".qk4\\\x00DC ? ??\" ...\n");
    fake.console.clear();
    fake.consoleIsTerminal = true;
    tkr::InitConsoleOutput();
    tkr::ShowReport(tkr::ReportLevel::Message, L"%ls", text.c_str());
    fake.consoleIsTerminal = false;
    tkr::InitConsoleOutput(); // back to redirected, for the tests after this one
    EXPECT_EQ(fake.console, text + L"\r\n");
}

} // namespace
