// The check of a key's security, the undo file, changing subkey lists and console output,
// against the scripted fake.
#include "fake_win.h"

#include "driver/run.h"
#include "modes/check_mode.h"
#include "modes/repair_mode.h"
#include "report/console.h"
#include "report/report.h"
#include "security/privilege.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

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
        const tkr::ClassesRoots roots;
        const tkr::KeyCheck check = tkr::CheckKeySecurity(
            tkr::TreeKey(HKEY_CLASSES_ROOT, {}, path, path, nullptr, &roots), 2);
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
    FakeWindows fake;
    const tkr::RunLog log{kLog};
    const tkr::ProcessToken token;
};

// Records every key written before its entry was on the disk: what a power loss would leave is
// what was flushed.
class WriteAhead : public Fake {
  protected:
    void SetUp() override {
        fake.onSetSecurity = [this](const std::wstring& path) {
            const std::wstring undo = fake.files[kUndo].substr(0, fake.flushed[kUndo]);
            if (undo.find(L"\n" + path + L"\t") == std::wstring::npos || !undo.ends_with(L"\r\n")) {
                writtenBeforeItsEntry.push_back(path);
            }
            if (afterWrite) {
                afterWrite(path);
            }
        };
    }
    tkr::Tally Repair(const wchar_t* root, DWORD flags = CONTAINER_INHERIT_ACE) {
        tkr::UndoWriter undo(kUndo, log);
        const tkr::RepairDacl dacl(flags);
        tkr::RepairAction action(dacl, token, undo, log);
        tkr::Tally tally;
        tkr::WalkKeyTree(root, action, tally);
        notSaved = undo.NotSaved();
        return tally;
    }
    std::vector<std::wstring> writtenBeforeItsEntry;
    std::function<void(const std::wstring&)> afterWrite;
    unsigned notSaved = 0;
};

TEST_F(WriteAhead, EachKeysEntryIsOnTheDiskBeforeItsFirstSecurityWrite) {
    fake.AddKey(L".qk4");
    fake.AddKey(L".qk4\\locked");
    fake.keys[L".qk4\\locked"].readStatus = ERROR_ACCESS_DENIED;
    Repair(L".qk4");
    const std::wstring machine = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\";
    // One group: the table key and the key below it, entered before the table key changes.
    EXPECT_EQ(fake.files[kUndo], std::wstring(L"\xFEFF") + tkr::kUndoHeader + L"\r\n.qk4\t" +
                                     machine + L".qk4\tO:BAD:P(A;;KA;;;BA)\r\n.qk4\\locked\t" +
                                     machine + L".qk4\\locked\tunreadable 5\r\n\r\n");
    // Each entry is whole and flushed before the key's first security write, and the backup
    // privilege, tried for the unreadable key, is off again.
    EXPECT_TRUE(writtenBeforeItsEntry.empty());
    EXPECT_TRUE(fake.privilegesOn.empty());
}

// Keys reached a group at a time, in the order they are visited: the keys below a key join its
// group where it can be entered before it changes and stays so once repaired; each group has one
// flush, before any of its keys is written, and every key visited has its entry, no other.
TEST_F(WriteAhead, AGroupIsTheNextKeysVisitedAndEachIsOnTheDiskBeforeItChanges) {
    const std::vector<std::wstring> bush = {L".qk4",           L".qk4\\a",     L".qk4\\a\\a1",
                                            L".qk4\\a\\a1\\x", L".qk4\\a\\a2", L".qk4\\b"};
    std::vector<std::wstring> wide = {L".qk4"};
    for (int i = 0; i < 70; ++i) {
        wide.push_back(L".qk4\\s" + std::to_wstring(i));
    }
    // A group that ends among the keys below ".qk4\a": the next one goes on after them.
    std::vector<std::wstring> split = {L".qk4", L".qk4\\a"};
    for (int i = 0; i < 100; ++i) {
        split.push_back(L".qk4\\a\\s" + std::to_wstring(i));
    }
    split.push_back(L".qk4\\b");
    struct Case {
        const char* what;
        DWORD flags;
        REGSAM deniedBefore; // what ".qk4\a" denies administrators until its DACL is written
        REGSAM deniedAfter;  // and after
        const std::vector<std::wstring>& tree;
        std::vector<std::wstring> visited;
        size_t flushes;
    };
    for (const Case& c : {
             Case{"a bush smaller than a group", CONTAINER_INHERIT_ACE, 0, 0, bush, bush, 1},
             Case{"a key listed only once repaired", CONTAINER_INHERIT_ACE, KEY_ENUMERATE_SUB_KEYS,
                  0, bush, bush, 2},
             // Inherit-only entries do not apply to the key they are written to: a key that
             // could be entered may not be once repaired, so nothing below it is read before.
             Case{"inherit-only entries", INHERIT_ONLY_ACE, 0, 0, bush, bush, 4},
             Case{"inherit-only entries that lock the key",
                  INHERIT_ONLY_ACE,
                  0,
                  KEY_ENUMERATE_SUB_KEYS,
                  bush,
                  {L".qk4", L".qk4\\a", L".qk4\\b"},
                  2},
             Case{"more siblings than a group", CONTAINER_INHERIT_ACE, 0, 0, wide, wide, 2},
             Case{"a group that ends below a key", CONTAINER_INHERIT_ACE, 0, 0, split, split, 2},
         }) {
        fake.keys.clear();
        fake.files.clear();
        fake.journal.clear();
        writtenBeforeItsEntry.clear();
        for (const std::wstring& key : c.tree) {
            fake.AddKey(key);
            fake.keys[key].sddl = L"O:BAD:(A;;KA;;;BA)"; // inherits
        }
        fake.keys[L".qk4\\a"].deniedAccess = c.deniedBefore;
        // Once repaired, ".qk4\a" passes down an entry of its own.
        afterWrite = [&](const std::wstring& path) {
            if (path == L".qk4\\a") {
                fake.keys[path].deniedAccess = c.deniedAfter;
                fake.keys[path].sddl = L"O:BAD:(A;CI;KR;;;BU)";
            }
        };
        Repair(L".qk4", c.flags);
        std::vector<std::wstring> announced;
        for (const std::wstring& line : fake.LogLines(kLog)) {
            if (line.starts_with(L"Message: Fix \"")) {
                announced.push_back(line.substr(14, line.size() - 19));
            }
        }
        EXPECT_EQ(announced, c.visited) << c.what;
        EXPECT_TRUE(writtenBeforeItsEntry.empty()) << c.what;
        EXPECT_EQ(fake.Calls(L"FlushFileBuffers ").size(), c.flushes) << c.what;
        const std::wstring& undo = fake.files[kUndo];
        EXPECT_EQ(std::count(undo.begin(), undo.end(), L'\t'), 2 * c.visited.size()) << c.what;
        EXPECT_EQ(notSaved, 0u) << c.what;
        if (c.visited == bush) {
            EXPECT_NE(fake.keys[L".qk4\\a\\a1"].writtenDacl.find(L"ID;KR;;;BU)"),
                      std::wstring::npos)
                << c.what;
        }
    }
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
    tkr::ShowReport(log, tkr::ReportLevel::Message, L"%ls", text.c_str());
    EXPECT_EQ(fake.console, L"Fix \".qk4\\\x00DC ? ??\" ...\n");
    fake.console.clear();
    fake.consoleIsTerminal = true;
    const tkr::RunLog onTerminal(kLog, tkr::Console::Detect());
    tkr::ShowReport(onTerminal, tkr::ReportLevel::Message, L"%ls", text.c_str());
    EXPECT_EQ(fake.console, text + L"\r\n");
}

} // namespace

namespace {

TEST_F(Fake, ATakenUndoNameIsLeftAloneAndTheRunTakesTheNextFreeOneAndSaysWhich) {
    fake.AddKey(L".qk4");
    const std::wstring names[] = {kUndo, L"C:\\logs\\run_undo_2.txt", L"C:\\logs\\run_undo_3.txt"};
    for (size_t taken = 0; taken < 3; ++taken) {
        fake.files.clear();
        for (size_t i = 0; i < taken; ++i) {
            fake.files[names[i]] = L"planted";
        }
        {
            tkr::UndoWriter undo(kUndo, log);
            const tkr::RepairDacl dacl(2);
            tkr::RepairAction action(dacl, token, undo, log);
            tkr::Tally tally;
            tkr::WalkKeyTree(L".qk4", action, tally);
            EXPECT_EQ(undo.NotSaved(), 0u);
        }
        for (size_t i = 0; i < taken; ++i) {
            EXPECT_EQ(fake.files[names[i]], L"planted");
        }
        EXPECT_EQ(fake.files[names[taken]].substr(1, 35), tkr::kUndoHeader) << taken;
        const std::vector<std::wstring> log = fake.LogLines(kLog);
        const std::wstring warning = L"Warning: \tThe undo file \"" + std::wstring(kUndo) +
                                     L"\" exists already; this run's undo file is \"" +
                                     names[taken] + L"\".";
        EXPECT_EQ(std::count(log.begin(), log.end(), warning), taken == 0 ? 0 : 1) << taken;
        // One flush: the header and the table key's entry are one group.
        EXPECT_EQ(fake.Calls(L"FlushFileBuffers " + names[taken]).size(), 1u);
    }
}

TEST_F(Fake, KeysChangedWithoutTheirUndoEntryAreCountedInTheSummaryAndTheStatus) {
    fake.AddKey(L".qk4");
    fake.AddKey(L".qk4\\sub");
    tkr::RepairMode mode(2, token, L"", log); // an undo file that cannot be created
    tkr::Tally tally;
    mode.Run(tally);
    EXPECT_EQ(mode.Summary(tally), L"Summary: 2 keys repaired, 0 failed, 0 registry links "
                                   L"skipped, 14 keys not present, 2 not saved for undo");
    EXPECT_EQ(mode.ExitStatus(true, tally), 1);
    EXPECT_EQ(mode.ExitStatus(false, tally), 0);
    EXPECT_EQ(fake.LogLines(kLog)[1],
              L"Warning: \tPrevious owner and DACL not saved in the undo file. Error: 3");
}

TEST(RunLock, ASecondChangingRunChangesNothingAndStopsWithThreeWhileChecksGoOn) {
    wchar_t program[] = L"C:\\Tools\\typekey-repair.exe";
    wchar_t quiet[] = L"-q";
    wchar_t check[] = L"-check";
    for (bool checking : {false, true}) {
        FakeWindows fake;
        fake.runLockHeld = true;
        fake.AddKey(L".qk4");
        wchar_t* argv[] = {program, quiet, check};
        const int status = tkr::RunTool(checking ? 3 : 2, argv);
        const bool stopped = fake.console.find(L"Another typekey-repair run is in progress.\n") !=
                             std::wstring::npos;
        EXPECT_EQ(stopped, !checking);
        EXPECT_EQ(status, checking ? 1 : 3);
        EXPECT_TRUE(fake.Calls(L"RegSetKeySecurity").empty());
    }
}

TEST(RunLock, ALockThatCannotBeMadeStopsTheRunAndSaysWhy) {
    FakeWindows fake;
    fake.outcomes["CreateMutexW"] = {ERROR_NOT_ENOUGH_MEMORY};
    fake.AddKey(L".qk4");
    wchar_t program[] = L"C:\\Tools\\typekey-repair.exe";
    wchar_t quiet[] = L"-q";
    wchar_t* argv[] = {program, quiet};
    EXPECT_EQ(tkr::RunTool(2, argv), 3);
    EXPECT_EQ(fake.console,
              L"The lock that keeps changing runs apart could not be made. Error: 8\n");
    EXPECT_TRUE(fake.Calls(L"RegSetKeySecurity").empty());
}

TEST(ScopedPrivilege, RestoresTheStateItFound) {
    FakeWindows fake;
    fake.privilegesOn = {17}; // the backup privilege, on before
    const tkr::ProcessToken token;
    {
        const auto backup = tkr::ScopedPrivilege::Enable(token, tkr::Privilege::Backup);
        const auto restore = tkr::ScopedPrivilege::Enable(token, tkr::Privilege::Restore);
        EXPECT_EQ(fake.privilegesOn, (std::set<DWORD>{17, 18}));
    }
    EXPECT_EQ(fake.privilegesOn, (std::set<DWORD>{17}));
}

TEST(LogFolder, FoldersTheRunCreatesLetOnlySystemAndAdministratorsWrite) {
    FakeWindows fake;
    wchar_t program[] = L"C:\\Tools\\typekey-repair.exe";
    wchar_t log[] = L"-log";
    wchar_t folder[] = L"C:\\new\\logs";
    wchar_t check[] = L"-check";
    wchar_t* argv[] = {program, log, folder, check};
    EXPECT_EQ(tkr::RunTool(4, argv), 0);
    // Full control for SYSTEM and Administrators, read and execute (0x1200a9) for everyone.
    const std::wstring dacl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)";
    fake.folders.erase(L"C:"); // the drive, tried like every folder on the way
    EXPECT_EQ(fake.folders,
              (std::map<std::wstring, std::wstring>{{L"C:\\new", dacl}, {L"C:\\new\\logs", dacl}}));
}

} // namespace
