// Options, the run's course and the key tree walk, against the scripted fake.
#include "fake_win.h"

#include "driver/options.h"
#include "driver/run.h"
#include "modes/check_mode.h"
#include "modes/repair_mode.h"
#include "modes/restore_mode.h"
#include "report/report.h"

#include "registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>

namespace {

constexpr wchar_t kLog[] = L"C:\\logs\\run.log";
constexpr wchar_t kUndo[] = L"C:\\logs\\run_undo.txt";

DWORD Flags(std::initializer_list<const wchar_t*> options) {
    std::vector<wchar_t*> argv = {const_cast<wchar_t*>(L"typekey-repair.exe")};
    for (const wchar_t* option : options) {
        argv.push_back(const_cast<wchar_t*>(option));
    }
    return tkr::ParseInheritanceFlags(static_cast<int>(argv.size()), argv.data());
}

TEST(InheritanceOptions, CombineByOrAndFallBackToContainerInherit) {
    FakeWindows fake;
    EXPECT_EQ(Flags({}), 2u);
    EXPECT_EQ(Flags({L"-x", L"i1", L"/i1"}), 2u);
    EXPECT_EQ(Flags({L"-i1", L"-i2"}), 3u);
    EXPECT_EQ(Flags({L"-i3", L"-i4"}), 7u);
    EXPECT_EQ(Flags({L"-i5"}), 8u);
    EXPECT_EQ(Flags({L"-i1"}), 1u);
    EXPECT_EQ(Flags({L"-i4"}), 4u);
    EXPECT_EQ(Flags({L"-I1"}), 2u);
    EXPECT_EQ(Flags({L"-i1x"}), 2u);
    EXPECT_EQ(Flags({L"-i1x", L"-i4", L"-I5"}), 4u);
    EXPECT_EQ(Flags({L"-i5", L"-i5"}), 8u);
}

class Walk : public ::testing::Test {
  protected:
    // A repair walk over the tree; returns its tally.
    tkr::Tally Repair(const wchar_t* root) {
        tkr::UndoWriter undo(kUndo, log);
        const tkr::RepairDacl dacl(2);
        const tkr::ProcessToken token;
        tkr::RepairAction action(dacl, token, undo, log);
        tkr::Tally tally;
        tkr::WalkKeyTree(root, action, tally);
        return tally;
    }
    // The console's lines.
    std::vector<std::wstring> Console() const {
        std::vector<std::wstring> lines;
        size_t start = 0;
        for (size_t end; (end = fake.console.find(L'\n', start)) != std::wstring::npos;
             start = end + 1) {
            lines.push_back(fake.console.substr(start, end - start));
        }
        return lines;
    }
    // The keys announced, in order.
    std::vector<std::wstring> Announced() const {
        std::vector<std::wstring> keys;
        for (const std::wstring& line : Console()) {
            if (line.rfind(L"Fix \"", 0) == 0) {
                keys.push_back(line.substr(5, line.size() - 5 - 5));
            }
        }
        return keys;
    }
    FakeWindows fake;
    const tkr::RunLog log{kLog};
};

TEST_F(Walk, VisitsPreOrderWithSiblingsInIndexOrderAndTheParentOpen) {
    fake.AddKey(L".qk4");
    fake.AddKey(L".qk4\\A");
    fake.AddKey(L".qk4\\A\\A1");
    fake.AddKey(L".qk4\\B");
    Repair(L".qk4");

    EXPECT_EQ(Console(),
              (std::vector<std::wstring>{L"Fix \".qk4\" ...", L"DONE", L"Fix \".qk4\\A\" ...",
                                         L"DONE", L"Fix \".qk4\\A\\A1\" ...", L"DONE",
                                         L"Fix \".qk4\\B\" ...", L"DONE"}));
    // Every key is reached through its parent's handle (a table key through
    // HKEY_CLASSES_ROOT), never by its path, and opened itself, never through a link; each has
    // its three writes, and nothing is left open.
    for (const std::wstring& open : fake.opens) {
        EXPECT_EQ(open.rfind(L"relative itself ", 0), 0u) << open;
    }
    for (const wchar_t* key : {L".qk4", L".qk4\\A", L".qk4\\A\\A1", L".qk4\\B"}) {
        EXPECT_EQ(fake.Calls(L"RegSetKeySecurity " + std::wstring(key) + L" ").size(), 3u);
    }
    EXPECT_EQ(fake.openKeys, 0);
    EXPECT_EQ(fake.heldSecurity, 0);
}

TEST_F(Walk, KeysItCannotReachAreNamedCountedAndPassedBy) {
    // Names unreadable at any length, a name of 256 units (Wine's registry has them; Windows'
    // functions cannot open them), an empty one and one holding a null.
    fake.AddKey(L".zor");
    for (const wchar_t* child : {L"a", L"b", L"c", L"d"}) {
        fake.AddKey(std::wstring(L".zor\\") + child);
    }
    fake.keys[L".zor"].unreadableIndices = {0, 2};
    fake.AddKey(L".zor\\" + std::wstring(255, L'n'));
    fake.AddKey(L".zor\\" + std::wstring(256, L'm'));
    fake.keys[L".zor"].children.push_back(L"");
    fake.keys[L".zor"].children.push_back(std::wstring(L"x\0y", 3));
    fake.keys[L".zor\\x"] = FakeKey(); // what the name would wrongly address
    // A key that cannot be opened to list its subkeys; one whose subkeys cannot be counted, but
    // read.
    fake.AddKey(L".zor\\closed");
    fake.keys[L".zor\\closed"].openStatus = ERROR_ACCESS_DENIED;
    fake.AddKey(L".zor\\closed\\never");
    fake.AddKey(L".zor\\uncounted");
    fake.keys[L".zor\\uncounted"].countStatus = ERROR_ACCESS_DENIED;
    fake.AddKey(L".zor\\uncounted\\read");
    const tkr::Tally tally = Repair(L".zor");
    const std::wstring unopenable = L"SKIPPED: a name the registry functions cannot open";
    const std::wstring unlisted = L"SKIPPED: the keys below it cannot be listed (error 5)";
    EXPECT_EQ(Console(),
              (std::vector<std::wstring>{L"Fix \".zor\" ...",
                                         L"DONE",
                                         L"SKIPPED: 2 names of the keys below it cannot be read",
                                         L"Fix \".zor\\b\" ...",
                                         L"DONE",
                                         L"Fix \".zor\\d\" ...",
                                         L"DONE",
                                         L"Fix \".zor\\" + std::wstring(255, L'n') + L"\" ...",
                                         L"DONE",
                                         L"Fix \".zor\\" + std::wstring(256, L'm') + L"\" ...",
                                         unopenable,
                                         L"Fix \".zor\\\" ...",
                                         unopenable,
                                         L"Fix \".zor\\x^@y\" ...",
                                         unopenable,
                                         L"Fix \".zor\\closed\" ...",
                                         L"ERROR OCCURED",
                                         unlisted,
                                         L"Fix \".zor\\uncounted\" ...",
                                         L"DONE",
                                         L"Fix \".zor\\uncounted\\read\" ...",
                                         L"DONE"}));
    EXPECT_TRUE(fake.Calls(L"RegSetKeySecurity .zor\\x ").empty());
    // Each key passed by counts as failed, as does each list or name that could not be read.
    EXPECT_EQ(tally[tkr::Outcome::Failed], 2u + 3u + 1u + 1u);
    EXPECT_EQ(fake.openKeys, 0);
}

TEST_F(Walk, AFailedRepairIsReportedAndTheWalkStillDescends) {
    fake.AddKey(L".27u");
    fake.AddKey(L".27u\\child");
    fake.outcomes["RegSetKeySecurity"] = {2};
    Repair(L".27u");
    EXPECT_EQ(Console(), (std::vector<std::wstring>{L"Fix \".27u\" ...", L"ERROR OCCURED",
                                                    L"Fix \".27u\\child\" ...", L"DONE"}));
    const std::vector<std::wstring> log = fake.LogLines(kLog);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], L"Message: Fix \".27u\" ...");
    EXPECT_EQ(log[1], L"!ERROR!: \tFirst SetNamedSecurityInfo call failed: 2");
    EXPECT_EQ(log[2], L"!ERROR!: ERROR OCCURED");
}

TEST_F(Walk, TheTokenIsOpenedOnceForTheRunAndEachKeySaysItCouldNotBe) {
    fake.AddKey(L".hib");
    fake.AddKey(L".hib\\sub");
    fake.outcomes["OpenProcessToken"] = {ERROR_ACCESS_DENIED};
    EXPECT_EQ(Repair(L".hib")[tkr::Outcome::Done], 2u); // the first writes did it
    const std::vector<std::wstring> log = fake.LogLines(kLog);
    EXPECT_EQ(std::count(log.begin(), log.end(), L"!ERROR!: \tOpenProcessToken failed: 5"), 2);
}

TEST_F(Walk, AMissingKeyIsAnnouncedAsAnError) {
    Repair(L".hib");
    EXPECT_EQ(Console(), (std::vector<std::wstring>{L"Fix \".hib\" ...", L"ERROR OCCURED"}));
}

TEST_F(Walk, LinksAreAnnouncedSkippedAndNeverRepairedOrEntered) {
    fake.AddKey(L".gli");
    fake.AddKey(L".gli\\link");
    fake.keys[L".gli\\link"].isLink = true;
    fake.AddKey(L".gli\\link\\through");
    fake.AddKey(L".gli\\after");
    Repair(L".gli");
    EXPECT_EQ(Console(),
              (std::vector<std::wstring>{L"Fix \".gli\" ...", L"DONE", L"Fix \".gli\\link\" ...",
                                         L"SKIPPED: registry link, not followed",
                                         L"Fix \".gli\\after\" ...", L"DONE"}));
    EXPECT_TRUE(fake.Calls(L"RegSetKeySecurity .gli\\link").empty());
    EXPECT_TRUE(fake.Calls(L"RegOpenKeyExW .gli\\link\\").empty());
    EXPECT_EQ(fake.LogLines(kLog)[5], L"Warning: SKIPPED: registry link, not followed");
    EXPECT_EQ(fake.openKeys, 0);
}

TEST_F(Walk, ASubkeyDeletedDuringTheWalkIsReportedAsNotPresentAndTheWalkGoesOn) {
    fake.AddKey(L".tov");
    fake.AddKey(L".tov\\a");
    fake.AddKey(L".tov\\b");
    fake.AddKey(L".tov\\c");
    // Another process deletes "b" while the walk is below "a".
    fake.onSetSecurity = [this](const std::wstring& key) {
        if (key == L".tov\\a" && fake.keys.erase(L".tov\\b") == 1) {
            auto& children = fake.keys[L".tov"].children;
            children.erase(children.begin() + 1);
        }
    };
    const tkr::Tally tally = Repair(L".tov");
    EXPECT_EQ(Announced(),
              (std::vector<std::wstring>{L".tov", L".tov\\a", L".tov\\b", L".tov\\c"}));
    EXPECT_EQ(tally[tkr::Outcome::NotPresent], 1u);
    EXPECT_EQ(tally[tkr::Outcome::Done], 3u);
    EXPECT_EQ(fake.openKeys, 0);
}

TEST_F(Walk, DeepChainsAreWalkedToTheBottomHoldingOnlyTheChainOpen) {
    std::wstring path = L".rux";
    fake.AddKey(path);
    for (int depth = 0; depth < 1000; ++depth) {
        path += L"\\d";
        fake.AddKey(path);
    }
    Repair(L".rux");
    EXPECT_EQ(Announced().size(), 1001u);
    EXPECT_EQ(Announced().back(), path);
    // The keys above the one visited, whose handles reach it, and the pins of one group.
    EXPECT_LE(fake.peakOpenKeys, 1000 + 2 + static_cast<int>(tkr::kGroupSize));
    EXPECT_EQ(fake.openKeys, 0);
}

TEST_F(Walk, NamesAreNeverUsedAsFormats) {
    fake.AddKey(L".mik");
    fake.AddKey(L".mik\\%s%n%u%%");
    Repair(L".mik");
    EXPECT_EQ(Announced(), (std::vector<std::wstring>{L".mik", L".mik\\%s%n%u%%"}));
    EXPECT_EQ(fake.Calls(L"RegSetKeySecurity .mik\\%s%n%u%% ").size(), 3u);
}

TEST(RunCourse, NamesTheLogFirstWalksEveryTableKeyInOrderThenPromptsAndWaits) {
    FakeWindows fake;
    fake.now = 1393816807;
    wchar_t program[] = L"C:\\Tools\\typekey-repair.exe";
    wchar_t option[] = L"-i5";
    wchar_t* argv[] = {program, option};
    EXPECT_EQ(tkr::RunRepair(2, argv), 0);

    ASSERT_EQ(fake.files.size(), 1u); // the log; no key was there to save for undo
    std::vector<std::wstring> announced;
    for (size_t at = 0; (at = fake.console.find(L"Fix \"", at)) != std::wstring::npos; ++at) {
        announced.push_back(fake.console.substr(at + 5, 4));
    }
    EXPECT_EQ(announced, std::vector<std::wstring>(tkr::DocumentTypeKeys.begin(),
                                                   tkr::DocumentTypeKeys.end()));
    EXPECT_EQ(fake.console.substr(fake.console.size() - 24), L"\nPress a key to close...");
    // The log is named after the program's own path and the time of the run's start; the
    // prompt is flushed before the wait.
    EXPECT_EQ(fake.files.begin()->first,
              L"C:\\Tools\\typekey-repair" + tkr::FormatLogSuffix(fake.now));
    const auto wait = std::find(fake.journal.begin(), fake.journal.end(), L"_getch");
    ASSERT_NE(wait, fake.journal.end());
    EXPECT_EQ(*(wait - 1), L"fflush");
    EXPECT_EQ(fake.aclEntries[0].grfInheritance, 8u);
}

TEST(RunCourse, ARunThatCannotGoOnSaysSoAndEndsWithThree) {
    wchar_t program[] = L"C:\\Tools\\typekey-repair.exe";
    wchar_t* argv[] = {program};
    {
        FakeWindows fake;
        fake.outcomes["_vscwprintf"] = {1};
        EXPECT_EQ(tkr::RunTool(1, argv), 3);
        EXPECT_EQ(fake.console, L"\nA report text could not be formatted. The run was stopped.\n");
        EXPECT_EQ(fake.journal.back(), L"fflush");
    }
    if constexpr (sizeof(void*) == 4) { // a 64-bit process could hold such a text
        // A text longer than memory can hold.
        FakeWindows fake;
        fake.outcomes["_vscwprintf"] = {0x7ffffff0};
        EXPECT_EQ(tkr::RunTool(1, argv), 3);
        EXPECT_EQ(fake.console, L"\nOut of memory. The run was stopped.\n");
    }
}

} // namespace

namespace {

// A run of each mode over the tree of ".qk4": a repair, a check, and a restore of an undo file
// with an entry for each key below the table key.
enum class Mode { Repair, Check, Restore };

FakeKey Named(const std::wstring& fullName, const wchar_t* sddl = L"O:BAD:P(A;;KA;;;BA)") {
    FakeKey key;
    key.fullName = fullName;
    key.sddl = sddl;
    return key;
}

void RunMode(Mode mode, const tkr::RunLog& log) {
    const tkr::ProcessToken token;
    // As a run has it: a key's name can be asked whatever its DACL.
    const auto nameAccess = tkr::ScopedPrivilege::Enable(token, tkr::Privilege::Security);
    tkr::Tally tally;
    if (mode == Mode::Repair) {
        tkr::UndoWriter undo(kUndo, log);
        const tkr::RepairDacl dacl(2);
        tkr::RepairAction action(dacl, token, undo, log);
        tkr::WalkKeyTree(L".qk4", action, tally);
    } else if (mode == Mode::Check) {
        tkr::CheckAction action(2, log);
        tkr::WalkKeyTree(L".qk4", action, tally);
    } else {
        tkr::UndoText undo;
        for (const wchar_t* path : {L".qk4\\mid", L".qk4\\mid\\x"}) {
            tkr::UndoLine& line = undo.entries.emplace_back();
            line.path = path;
            line.fullName = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\" + line.path;
            line.sddl = L"O:BAD:P(A;;KA;;;WD)";
            line.descriptor = tkrtest::DescriptorFromSddl(line.sddl);
        }
        tkr::RestoreMode(std::move(undo), token, log).Run(tally);
    }
}

TEST(LinkCheck, AKeyWhoseChecksFailBetweenItsOpenAndItsWriteIsNeitherWrittenNorEntered) {
    struct Row {
        const char* what;
        void (*spoil)(FakeKey&);
    };
    const Row rows[] = {
        {"link query: key deleted", [](FakeKey& k) { k.linkQueryStatus = ERROR_KEY_DELETED; }},
        {"link query: denied", [](FakeKey& k) { k.linkQueryStatus = ERROR_ACCESS_DENIED; }},
        {"link query: bad handle", [](FakeKey& k) { k.linkQueryStatus = ERROR_INVALID_HANDLE; }},
        {"name cannot be read", [](FakeKey& k) { k.nameUnreadable = true; }},
        // What its parent's handle reaches once the parent has become a link after its check.
        {"reached behind a link",
         [](FakeKey& k) { k.fullName = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\out\\mid"; }},
        {"in another user's classes",
         [](FakeKey& k) { k.fullName = L"\\REGISTRY\\USER\\S-1-5-21-9_Classes\\.qk4\\mid"; }},
    };
    for (const Row& row : rows) {
        for (const Mode mode : {Mode::Repair, Mode::Check, Mode::Restore}) {
            FakeWindows fake;
            fake.AddKey(L".qk4");
            fake.AddKey(L".qk4\\mid");
            fake.AddKey(L".qk4\\mid\\x");
            row.spoil(fake.keys[L".qk4\\mid"]);
            const tkr::RunLog log{kLog};
            RunMode(mode, log);
            const std::string where =
                std::string(row.what) + ", mode " + std::to_string(static_cast<int>(mode));
            EXPECT_TRUE(fake.Calls(L"RegSetKeySecurity .qk4\\mid").empty()) << where;
            EXPECT_TRUE(fake.Calls(L"RegOpenKeyExW .qk4\\mid\\").empty()) << where;
            EXPECT_NE(fake.console.find(L"SKIPPED: registry link, not followed"),
                      std::wstring::npos)
                << where;
            EXPECT_EQ(fake.openKeys, 0) << where;
        }
    }
}

// HKEY_CLASSES_ROOT shows the user's ".qk4" over the machine's, with the machine's child "m"
// below it: "m" inherits from the machine's ".qk4", its physical parent, never from the user's.
void SeedMerged(FakeWindows& fake) {
    fake.AddKey(L".qk4", Named({}, L"O:SYD:(A;CI;KR;;;BU)"));
    fake.AddKey(L".qk4\\m", Named({}, L"O:BAD:(A;;KA;;;BA)"));
    fake.AddKey(fake.UserKey(L".qk4"), Named({}, L"O:BAD:(A;CI;KA;;;S-1-5-21-7-1001)"));
}

class MergedView : public ::testing::Test {
  protected:
    MergedView() { SeedMerged(fake); }
    FakeWindows fake;
    const tkr::RunLog log{kLog};
};

TEST_F(MergedView, AMachineKeyBelowTheUsersKeyInheritsFromTheMachinesKey) {
    RunMode(Mode::Repair, log);
    const std::wstring& written = fake.keys[L".qk4\\m"].writtenDacl;
    EXPECT_NE(written.find(L"(A;CIID;KR;;;BU)"), std::wstring::npos)
        << std::string(written.begin(), written.end());
    EXPECT_EQ(written.find(L"S-1-5-21-7-1001"), std::wstring::npos)
        << std::string(written.begin(), written.end());
    EXPECT_FALSE(fake.Calls(L"RegSetKeySecurity " + fake.UserKey(L".qk4") + L" ").empty());
    EXPECT_EQ(fake.console.find(L"ERROR"), std::wstring::npos);
    EXPECT_EQ(fake.openKeys, 0);
}

TEST_F(MergedView, AKeyWhosePhysicalParentCannotBeReadIsNotWritten) {
    fake.keys[L".qk4"].readStatus = ERROR_ACCESS_DENIED;
    RunMode(Mode::Repair, log);
    EXPECT_TRUE(fake.Calls(L"RegSetKeySecurity .qk4\\m").empty());
    EXPECT_NE(fake.console.find(L"Fix \".qk4\\m\" ...\nERROR OCCURED\n"), std::wstring::npos);
    const auto lines = fake.LogLines(kLog);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        L"!ERROR!: \tNot written: the DACL of the key's physical parent could "
                        L"not be read: 5"),
              lines.end());
}

// What a path names below HKEY_CLASSES_ROOT changes with the user's keys at each open: no write
// ever reaches a key other than the one checked (and, for a restore, the one saved).
TEST(MergedViewRows, OnlyThePhysicalKeyCheckedOrSavedIsWritten) {
    const std::wstring machine = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes";
    const std::wstring user = L"\\REGISTRY\\USER\\S-1-5-21-7_Classes";
    const std::wstring link = L"SKIPPED: registry link, not followed";
    struct Row {
        const char* what;
        Mode mode;
        std::vector<std::pair<std::wstring, std::wstring>> entries; // to restore: path, name
        void (*setUp)(FakeWindows&);
        std::vector<std::wstring> written, notWritten; // keys by their place in the fake
        std::wstring line;                             // on the console
    };
    const Row rows[] = {
        {"the user's key deleted between its pin and its owner write",
         Mode::Repair,
         {},
         [](FakeWindows& f) {
             f.onSetSecurity = [&f](const std::wstring& path) {
                 if (path == f.UserKey(L".qk4")) {
                     f.DeleteKey(path); // the path now reaches the machine's ".qk4"
                 }
             };
         },
         {},
         {L".qk4"},
         L"DONE"}, // its first write was done; the owner write is refused
        {"undo, then the user's key deleted",
         Mode::Restore,
         {{L".qk4", user + L"\\.qk4"}},
         [](FakeWindows& f) { f.DeleteKey(f.UserKey(L".qk4")); },
         {},
         {L".qk4"},
         L"SKIPPED: key not present"},
        {"two entries' paths swapped, names kept",
         Mode::Restore,
         {{L".qk4", machine + L"\\.qk4\\m"}, {L".qk4\\m", user + L"\\.qk4"}},
         [](FakeWindows&) {},
         {},
         {L".qk4", L".qk4\\m"},
         L"SKIPPED: the key at this path is not the one saved"},
        {"a table key of another user's classes",
         Mode::Repair,
         {},
         [](FakeWindows& f) {
             f.keys[f.UserKey(L".qk4")].fullName = L"\\REGISTRY\\USER\\S-1-5-21-9_Classes\\.qk4";
         },
         {},
         {L".qk4"},
         link},
        {"a root's name without its backslash",
         Mode::Repair,
         {},
         [](FakeWindows& f) {
             f.keys[L".qk4\\m"].fullName = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes_.qk4\\m";
         },
         {},
         {L".qk4\\m"},
         link},
        {"names in another case",
         Mode::Repair,
         {},
         [](FakeWindows& f) {
             f.keys[L".qk4\\m"].fullName = L"\\REGISTRY\\Machine\\Software\\CLASSES\\.QK4\\M";
         },
         {L".qk4\\m"},
         {},
         L"DONE"},
        {"a link whose target cannot be opened",
         Mode::Repair,
         {},
         [](FakeWindows& f) {
             FakeKey dangling;
             dangling.isLink = true;
             dangling.openStatus = ERROR_ACCESS_DENIED;
             f.AddKey(L".qk4\\dangling", dangling);
         },
         {},
         {L".qk4\\dangling"},
         link},
        {"a kept key deleted and made again",
         Mode::Restore,
         {{L".qk4\\m", machine + L"\\.qk4\\m"}, {L".qk4\\n", machine + L"\\.qk4\\n"}},
         [](FakeWindows& f) {
             f.AddKey(L".qk4\\n");
             f.onSetSecurity = [&f](const std::wstring& path) {
                 if (path == L".qk4\\n") {
                     f.DeleteKey(L".qk4\\m");
                     f.DeleteKey(L".qk4");
                     f.AddKey(L".qk4");
                     f.AddKey(L".qk4\\m");
                 }
             };
         },
         {L".qk4\\m", L".qk4\\n"},
         {},
         L"DONE"},
    };
    for (const Row& row : rows) {
        FakeWindows f;
        const tkr::RunLog log{kLog};
        SeedMerged(f);
        row.setUp(f);
        const tkr::ProcessToken token;
        const auto nameAccess = tkr::ScopedPrivilege::Enable(token, tkr::Privilege::Security);
        tkr::Tally tally;
        if (row.mode == Mode::Repair) {
            RunMode(Mode::Repair, log);
        } else {
            tkr::UndoText undo;
            for (const auto& [path, name] : row.entries) {
                tkr::UndoLine& line = undo.entries.emplace_back();
                line.path = path;
                line.fullName = name;
                line.sddl = L"O:BAD:P(A;;KA;;;WD)";
                line.descriptor = tkrtest::DescriptorFromSddl(line.sddl);
            }
            tkr::RestoreMode(std::move(undo), token, log).Run(tally);
        }
        for (const std::wstring& key : row.written) {
            EXPECT_FALSE(f.Calls(L"RegSetKeySecurity " + key + L" ").empty()) << row.what;
        }
        for (const std::wstring& key : row.notWritten) {
            EXPECT_TRUE(f.Calls(L"RegSetKeySecurity " + key + L" ").empty()) << row.what;
        }
        EXPECT_NE(f.console.find(L"\n" + row.line + L"\n"), std::wstring::npos)
            << row.what << "\n"
            << std::string(f.console.begin(), f.console.end());
        EXPECT_EQ(f.openKeys, 0) << row.what;
    }
}

} // namespace
