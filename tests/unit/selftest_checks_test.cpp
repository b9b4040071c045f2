// The self-test's checks of what only Windows shows, against the fake: its inheritance check with
// a SetSecurityInfo that propagates as Windows documents (the tool's DACLs on the seeded family
// match Windows' answer on the twin for each inheritance option, and each kind of wrong inherited
// entry is named), and its merged-view check on the fake's merged HKEY_CLASSES_ROOT.
#include "fake_win.h"

#include "modes/repair_mode.h"
#include "report/report.h"
#include "report/undo_file.h"
#include "report/undo_format.h"
#include "selftest/backup_read.h"
#include "selftest/inheritance.h"
#include "selftest/merged_view.h"
#include "selftest/seeds.h"

#include "registry.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

namespace {

using tkr::selftest::Inheritance;
using tkr::selftest::Outcome;

FakeKey Key(const std::wstring& sddl) {
    FakeKey key;
    key.sddl = sddl;
    return key;
}

constexpr wchar_t kUndo[] = L"C:\\logs\\run_undo.txt";

// The tool's repair of a table key's tree, as a run makes it, its undo file kUndo.
void Repair(const wchar_t* table, DWORD flags, const tkr::ProcessToken& token) {
    const tkr::RunLog log{L"C:\\logs\\run.log"};
    const auto names = tkr::ScopedPrivilege::Enable(token, tkr::Privilege::Security);
    tkr::UndoWriter undo(kUndo, log);
    const tkr::RepairDacl dacl(flags);
    tkr::RepairAction action(dacl, token, undo, log);
    tkr::Tally tally;
    tkr::WalkKeyTree(table, action, tally);
}

class WindowsOracle : public ::testing::Test {
  protected:
    WindowsOracle() {
        fake.keepsWrites = true;
        // A classes root that passes down entries of every kind; the table key, the family below
        // it and below the twin as the self-test makes them.
        fake.keys[L"HKLM\\SOFTWARE\\Classes"].sddl =
            L"O:SYG:SY" + SddlPart(tkr::selftest::kFamilyProtectedSddl, L'D');
        fake.AddKey(L".qk4", Key(L"O:SYG:SYD:(A;;KA;;;BA)"));
        fake.AddKey(L"tkr-selftest-twin", Key(L"O:BAG:SYD:(A;;KA;;;BA)"));
        for (const std::wstring top : {L".qk4\\tkr-selftest", L"tkr-selftest-twin\\tkr-selftest"}) {
            fake.AddKey(top, Key(L"O:BAG:SYD:(A;;KA;;;BA)"));
            for (const tkr::selftest::FamilyKey& family : tkr::selftest::kFamily) {
                const std::wstring sddl = family.isProtected ? tkr::selftest::kFamilyProtectedSddl
                                                             : tkr::selftest::kFamilySddl;
                fake.AddKey(top + L"\\" + family.path, Key(L"O:BAG:SY" + SddlPart(sddl, L'D')));
            }
        }
    }
    // The tool's repair with these flags, then Windows' answer and both families.
    Inheritance RepairAndCompare(DWORD flags) {
        Repair(L".qk4", flags, token);
        return tkr::selftest::CompareWithWindows(token, flags);
    }
    FakeWindows fake;
    const tkr::ProcessToken token;
};

TEST_F(WindowsOracle, EachOptionsInheritanceIsWhatWindowsPropagationGives) {
    for (const DWORD flags : {2u, 3u, 4u, 8u}) {
        const Inheritance e = RepairAndCompare(flags);
        const Outcome outcome = tkr::selftest::JudgeInheritance(e);
        EXPECT_EQ(outcome.kind, Outcome::Pass) << flags << ": " << outcome.text;
        // The seeded kinds reach the compared DACLs: the leaf inherits the no-propagate entry's
        // parent's, CREATOR OWNER as its owner, the object-inherit entry as inherit-only.
        const std::wstring leaf = tkrtest::SddlOf(e.tool[3], DACL_SECURITY_INFORMATION);
        for (const wchar_t* kind : {L"(D;CIID;WD;;;AN)", L"(A;ID;KA;;;BA)", L"(A;OICIIOID;GX;;;SY)",
                                    L"(A;OIIOID;KR;;;LS)"}) {
            EXPECT_NE(leaf.find(kind), std::wstring::npos) << flags << ": " << leaf;
        }
    }
}

// Each row replaces an entry of the leaf's DACL as the tool left it (or adds one at its end).
TEST_F(WindowsOracle, EachWrongInheritedEntryFailsNamingTheKey) {
    const Inheritance repaired = RepairAndCompare(CONTAINER_INHERIT_ACE);
    const std::wstring leaf = L".qk4\\tkr-selftest\\Inherit\\Open\\Leaf: ";
    const std::wstring lsa = L"(A;OIIOID;KR;;;LS)";
    const std::wstring deny = L"(D;CIID;WD;;;AN)";
    const struct {
        const char* fault;
        std::wstring entry, replacement, added;
        std::wstring says;
    } rows[] = {
        {"missing", lsa, L"", L"",
         leaf + L"missing " + lsa + L", which Windows has as inherited entry "},
        {"extra", L"", L"", L"(A;ID;KR;;;NS)", leaf + L"extra (A;ID;KR;;;NS)"},
        {"misordered", deny, L"", deny, leaf + L"entries in another order: "},
        {"explicit instead of inherited", lsa, L"(A;OIIO;KR;;;LS)", L"", leaf + L"missing " + lsa},
    };
    for (const auto& row : rows) {
        Inheritance e = repaired;
        std::wstring sddl =
            tkrtest::SddlOf(e.tool[3], OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION);
        if (!row.entry.empty()) {
            sddl.replace(sddl.find(row.entry), row.entry.size(), row.replacement);
        }
        e.tool[3] = tkrtest::DescriptorFromSddl(sddl + row.added);
        const Outcome outcome = tkr::selftest::JudgeInheritance(e);
        EXPECT_EQ(outcome.kind, Outcome::Fail) << row.fault;
        EXPECT_TRUE(outcome.text.starts_with(row.says)) << row.fault << ": " << outcome.text;
    }
    // A key the repair did not reach fails too, but under inherit-only entries, which may lock
    // the tool out of it.
    Inheritance e = repaired;
    e.results.assign(e.paths.size(), L"DONE");
    e.results[4] = L"ERROR OCCURED";
    EXPECT_EQ(tkr::selftest::JudgeInheritance(e).text,
              L".qk4\\tkr-selftest\\Inherit\\Shut: the repair said \"ERROR OCCURED\"");
    Inheritance inheritOnly = RepairAndCompare(INHERIT_ONLY_ACE);
    inheritOnly.results = e.results;
    EXPECT_EQ(tkr::selftest::JudgeInheritance(inheritOnly).kind, Outcome::Pass);
    // Where SetSecurityInfo passes nothing down, nothing is shown.
    fake.propagates = false;
    const Outcome outcome =
        tkr::selftest::JudgeInheritance(RepairAndCompare(CONTAINER_INHERIT_ACE));
    EXPECT_EQ(outcome.kind, Outcome::NotShown);
    EXPECT_EQ(outcome.text, L"this system's SetSecurityInfo passes no inherited entries down (it "
                            L"gave none to HKEY_CLASSES_ROOT\\tkr-selftest-twin\\tkr-selftest\\"
                            L"Inherit\\Open\\Leaf)");
}

// The user's ".zor" over the machine's, each with its child; the machine's passes down entries
// of its own. Each row plants, after the repair, what a tool that reached the wrong key leaves.
TEST(MergedViewCheck, TheMachinesChildMustInheritFromTheMachinesKey) {
    const std::wstring user = L"S-1-5-21-7-1001";
    const struct {
        const char* fault;
        std::function<void(FakeWindows&)> plant;
        Outcome::Kind kind;
        std::wstring says;
        bool merged = true; // HKEY_CLASSES_ROOT shows the user's child
    } rows[] = {
        {"none", [](FakeWindows&) {}, Outcome::Pass, L""},
        {"not merged", [](FakeWindows&) {}, Outcome::NotShown,
         L"this system does not merge the user's classes into HKEY_CLASSES_ROOT (below "
         L"HKEY_CLASSES_ROOT\\.zor it shows only the machine's subkey)",
         false},
        {"inherits from the user's key",
         [&](FakeWindows& fake) { fake.keys[L".zor\\m"].sddl += L"(A;CIID;KA;;;" + user + L")"; },
         Outcome::Fail,
         L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.zor\\m: inherited entry (A;CIID;KA;;;" + user +
             L") comes from no entry of its physical parent"},
        {"inherits nothing",
         [](FakeWindows& fake) {
             fake.keys[L".zor\\m"].sddl = L"O:BAG:SYD:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)";
         },
         Outcome::Fail,
         L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.zor\\m: no inherited entry, though its physical "
         L"parent"},
        {"the user's child not reached",
         [](FakeWindows& fake) {
             fake.keys[fake.UserKey(L".zor\\u")].sddl = L"O:SYD:(A;;KA;;;SY)";
         },
         Outcome::Fail, L"HKEY_CURRENT_USER\\Software\\Classes\\.zor\\u: not repaired; "},
    };
    for (const auto& row : rows) {
        FakeWindows fake;
        fake.keepsWrites = true;
        fake.AddKey(L".zor", Key(L"O:SYG:SYD:P(A;CI;KA;;;SY)(A;OI;KR;;;LS)(A;CIIO;GA;;;CO)"));
        fake.AddKey(L".zor\\m", Key(L"O:SYG:SYD:(A;;KA;;;SY)"));
        fake.AddKey(fake.UserKey(L".zor"), Key(L"O:BAG:SYD:P(A;CI;KA;;;" + user + L")"));
        if (row.merged) {
            fake.AddKey(fake.UserKey(L".zor\\u"), Key(L"O:BAG:SYD:(A;;KA;;;BA)"));
        }
        const tkr::ProcessToken token;
        HKEY machine = nullptr;
        HKEY users = nullptr;
        ASSERT_EQ(
            win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes", 0, KEY_READ, &machine), 0);
        ASSERT_EQ(win::RegOpenKeyExW(HKEY_USERS, L"S-1-5-21-7_Classes", 0, KEY_READ, &users), 0);
        const std::wstring userRoot = L"HKEY_CURRENT_USER\\Software\\Classes";
        const std::wstring machineRoot = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes";
        tkr::selftest::MergedView view =
            tkr::selftest::ShowMerged(token,
                                      {{users, userRoot, L".zor"},
                                       {users, userRoot, L".zor\\u"},
                                       {machine, machineRoot, L".zor"},
                                       {machine, machineRoot, L".zor\\m"}},
                                      L".zor", L"u", L"m");
        Repair(L".zor", CONTAINER_INHERIT_ACE, token);
        row.plant(fake);
        tkr::selftest::ReadMerged(token, view);
        const Outcome outcome = tkr::selftest::JudgeMergedView(view, L".zor");
        EXPECT_EQ(outcome.kind, row.kind) << row.fault << ": " << outcome.text;
        EXPECT_TRUE(outcome.text.starts_with(row.says)) << row.fault << ": " << outcome.text;
        win::RegCloseKey(machine);
        win::RegCloseKey(users);
    }
}

// Keys that deny administrators reading their security, repaired by the tool: the check passes on
// the undo file the tool wrote, and fails on one that lacks them or could not read them.
TEST(SavedForUndoCheck, TheLockedKeysNeedEntriesReadUnderTheBackupPrivilege) {
    const std::wstring locked[] = {L".qk4\\Locked", L".qk4\\DenyReadControl"};
    const struct {
        const char* what;
        bool backupOpens;
        void (*plant)(FakeWindows&);
        Outcome::Kind kind;
        std::wstring says;
    } rows[] = {
        {"saved", true, [](FakeWindows&) {}, Outcome::Pass, L""},
        {"read without the backup privilege's help", true,
         [](FakeWindows& fake) { fake.keys[L".qk4\\Locked"].readStatus = ERROR_ACCESS_DENIED; },
         Outcome::Fail, L".qk4\\Locked: its undo entry says unreadable 5"},
        {"left out", true, [](FakeWindows& fake) { fake.DeleteKey(L".qk4\\DenyReadControl"); },
         Outcome::Fail, L".qk4\\DenyReadControl: no undo entry in \"C:\\logs\\run_undo.txt\""},
        {"a system whose backup privilege reads nothing", false, [](FakeWindows&) {},
         Outcome::NotShown,
         L"this system does not let the backup privilege read a key whose DACL "
         L"denies it (error 5)"},
    };
    for (const auto& row : rows) {
        FakeWindows fake;
        fake.backupOpens = row.backupOpens;
        fake.AddKey(L".qk4");
        for (const std::wstring& path : locked) {
            FakeKey key;
            key.deniedAccess = READ_CONTROL;
            fake.AddKey(path, key);
        }
        const tkr::ProcessToken token;
        const LSTATUS backupRead = tkr::selftest::ProbeBackupRead(token, locked[1]);
        row.plant(fake);
        Repair(L".qk4", CONTAINER_INHERIT_ACE, token);
        const std::wstring& text = fake.files[kUndo];
        const tkr::UndoText undo = tkr::ParseUndoText(
            {reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)},
            tkr::DocumentTypeKeys);
        const Outcome outcome =
            tkr::selftest::JudgeSavedForUndo(undo.entries, backupRead, locked, kUndo);
        EXPECT_EQ(outcome.kind, row.kind) << row.what << ": " << outcome.text;
        EXPECT_TRUE(outcome.text.starts_with(row.says)) << row.what << ": " << outcome.text;
    }
}

} // namespace
