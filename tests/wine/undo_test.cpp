// The undo file of a repair run, and the restore run that puts every key back as it was.
#include "e2e.h"

#include "security/descriptor.h"
#include "security/key_security.h"

#include <map>
#include <thread>

using namespace tkrtest;
using namespace std::string_literals;

namespace {

std::wstring Text(const std::string& bytes) {
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

// The start of an undo line for the key at the path (as written, escaped), up to its security:
// the path and the full name of the machine's key, as this registry names its classes.
std::wstring Entry(const std::wstring& path) {
    HKEY classes = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                  &classes);
    const std::wstring name = tkr::FullKeyName(classes);
    RegCloseKey(classes);
    return L"\r\n" + path + L"\t" + name + L"\\" + path + L"\t";
}

TEST_F(ToolTest, ARestoreRunPutsBackEveryOwnerAndDaclTheRepairChanged) {
    const std::vector<std::pair<std::wstring, const wchar_t*>> seeds = {
        {L".qk4", kNormalSddl},
        {L".qk4\\unprotected", L"O:BAD:(A;;KA;;;BA)(A;CI;KR;;;BU)"},
        {L".qk4\\system", L"O:SYD:(A;;KA;;;SY)(A;;KA;;;BA)"},
        {L".qk4\\denied", L"O:SYD:P(A;;RCWO;;;BA)(A;;KA;;;SY)"}, // first write denied
        {L".qk4\\denied\\below", kNormalSddl},
        {L".qk4\\locked", kLockedSddl},
        {L".qk4\\tab\there", kNormalSddl},
        {L".qk4\\line\nfeed", kNormalSddl},
        {L".qk4\\100%", kNormalSddl},
        {L".qk4\\\xD83D\xDE00", kNormalSddl},
        {L".qk4\\" + std::wstring(255, L'u'), kNormalSddl},
        {L".zor", L"O:SYD:P(A;;RCWO;;;BA)(A;;KA;;;SY)"}};
    std::map<std::wstring, std::wstring> before;
    for (const auto& [key, sddl] : seeds) {
        Seed(key, sddl);
        before[key] = KeySddl(key);
    }
    const ToolRun repair = Run(L"-q");
    // The locked key: repaired by taking ownership under Windows' rules, but Wine cannot read its
    // security for the undo file (Windows reads it under the backup privilege), so it is changed
    // without an entry that can give it back: -q says so.
    ASSERT_EQ(repair.exitCode, 1u);
    EXPECT_TRUE(IsRepairedSddl(KeySddl(L".qk4\\system"), 2));
    const std::wstring undo = Text(repair.undo);
    EXPECT_EQ(undo.rfind(L"\xFEFFtypekey-repair undo file, version 2\r\n", 0), 0u);
    EXPECT_NE(undo.find(Entry(L".qk4\\tab%09here") + L"O:BAD:"), std::wstring::npos);
    EXPECT_NE(undo.find(Entry(L".qk4\\line%0Afeed") + L"O:BAD:"), std::wstring::npos);
    EXPECT_NE(undo.find(Entry(L".qk4\\100%25") + L"O:BAD:"), std::wstring::npos);
    EXPECT_NE(undo.find(Entry(L".qk4\\locked") + L"unreadable 5\r\n"), std::wstring::npos);

    const std::wstring saved = dir + L"\\saved undo.txt";
    WriteBytes(saved, repair.undo);
    const ToolRun restore = Run(L"-undo \"" + saved + L"\" -q");
    EXPECT_EQ(restore.exitCode, 1u); // the locked key could not be saved, so not restored
    EXPECT_TRUE(restore.undoPath.empty());
    EXPECT_EQ(restore.console.rfind("Restore \".zor\" ...\r\nDONE\r\n", 0), 0u); // newest first
    EXPECT_NE(restore.console.find("Restore \".qk4\\locked\" ...\r\nSKIPPED: previous owner and "
                                   "DACL were not saved (error 5)\r\n"),
              std::string::npos);
    for (const auto& [key, sddl] : before) {
        if (key == L".qk4\\locked" && StrictServer()) {
            EXPECT_TRUE(IsRepairedSddl(KeySddl(key), 2));
        } else {
            EXPECT_EQ(KeySddl(key), sddl) << Narrow(key);
        }
    }
    // Restoring again finds every key as recorded and writes nothing.
    EXPECT_EQ(Count(Run(L"-undo \"" + saved + L"\"").console, "\r\nDONE\r\n"), 11u);
    Run(L"-q"); // leaves keys the next test can move away
}

// A saved descriptor goes back only to the key it was saved from: entries whose paths were
// swapped (their full names kept) restore neither key, and say why for each.
TEST_F(ToolTest, AnEntryWhosePathIsNotItsKeysRestoresNothing) {
    Seed(L".qk4");
    Seed(L".qk4\\a", L"O:BAD:P(A;;KA;;;BA)(A;;KR;;;BU)");
    Seed(L".qk4\\b", L"O:SYD:P(A;;KA;;;SY)(A;;KA;;;BA)");
    const ToolRun repair = Run(L"-q");
    const std::wstring repairedA = KeySddl(L".qk4\\a");
    const std::wstring repairedB = KeySddl(L".qk4\\b");
    std::wstring text = Text(repair.undo);
    const size_t a = text.find(L"\r\n.qk4\\a\t") + 2;
    const size_t b = text.find(L"\r\n.qk4\\b\t") + 2;
    ASSERT_TRUE(a != 1 && b != 1) << Narrow(text);
    text[a + 5] = L'b';
    text[b + 5] = L'a';
    const std::wstring swapped = dir + L"\\swapped undo.txt";
    WriteBytes(swapped, Utf16Bytes(text));
    const ToolRun restore = Run(L"-q -undo \"" + swapped + L"\"");
    EXPECT_EQ(restore.exitCode, 1u);
    const std::string notSaved = "SKIPPED: the key at this path is not the one saved\r\n";
    EXPECT_NE(restore.console.find("Restore \".qk4\\a\" ...\r\n" + notSaved), std::string::npos)
        << restore.console;
    EXPECT_NE(restore.console.find("Restore \".qk4\\b\" ...\r\n" + notSaved), std::string::npos)
        << restore.console;
    EXPECT_EQ(KeySddl(L".qk4\\a"), repairedA);
    EXPECT_EQ(KeySddl(L".qk4\\b"), repairedB);
    Run(L"-q"); // leaves keys the next test can move away
}

TEST_F(ToolTest, AnUndoFileThatIsNotWholeAndValidIsRefusedAndChangesNothing) {
    Seed(L".qk4");
    const std::wstring before = KeySddl(L".qk4");
    const std::wstring header = L"\xFEFFtypekey-repair undo file, version 2\r\n";
    const std::wstring name = L"\t\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\.qk4\t";
    const std::wstring entry = L".qk4" + name + L"O:SYD:P(A;;KA;;;SY)\r\n";
    struct Case {
        const char* what;
        std::string bytes;
        const char* line;
    };
    const std::string whole = Utf16Bytes(header + entry);
    for (const Case& c :
         {Case{"cut in an earlier line", Utf16Bytes(header + L".qk4" + name + L"O:SY\r\n" + entry),
               "line 2"},
          Case{"a group", Utf16Bytes(header + L".qk4" + name + L"O:BAG:BAD:P(A;;KA;;;BA)\r\n"),
               "line 2"},
          Case{"a SACL",
               Utf16Bytes(header + L".qk4" + name + L"O:BAD:P(A;;KA;;;BA)S:(AU;SA;KA;;;WD)\r\n"),
               "line 2"},
          Case{"cut in the header", whole.substr(0, 40), "line 1"},
          Case{"bad SDDL", Utf16Bytes(header + L".qk4" + name + L"O:SYD:P(A;;QQ;;;SY)\r\n"),
               "line 2"},
          Case{"a null in a group before the last",
               Utf16Bytes(header + L".qk4" + name + L"O:SYD:P(A;;KA\0;;;SY)\r\n\r\n"s + entry),
               "line 2"},
          Case{"a version 1 line", Utf16Bytes(header + L".qk4\tO:SYD:P(A;;KA;;;SY)\r\n"), "line 2"},
          Case{"other version",
               Utf16Bytes(L"\xFEFFtypekey-repair undo file, version 3\r\n" + entry), "line 1"},
          Case{"empty", "", "line 1"},
          Case{"not UTF-16", "typekey-repair undo file, version 1\r\n", "line 1"},
          Case{"outside the trees",
               Utf16Bytes(header + entry + L"tkr-elsewhere" + name + L"O:SYD:P(A;;KA;;;SY)\r\n"),
               "line 3"},
          Case{"bad escape", Utf16Bytes(header + L".qk4\\%zz" + name + L"O:BAD:P(A;;KA;;;BA)\r\n"),
               "line 2"}}) {
        const std::wstring file = dir + L"\\undo.txt";
        WriteBytes(file, c.bytes);
        const ToolRun run = Run(L"-q -undo \"" + file + L"\"");
        EXPECT_EQ(run.exitCode, 2u) << c.what;
        EXPECT_TRUE(run.console.empty()) << c.what;
        EXPECT_NE(run.errors.find(Narrow(file) + "\", " + c.line + ":"), std::string::npos)
            << c.what << ": " << run.errors;
        EXPECT_TRUE(run.logPath.empty()) << c.what;
        EXPECT_EQ(KeySddl(L".qk4"), before) << c.what;
    }
}

// Every key below the path, itself included, and its owner and DACL.
std::map<std::wstring, std::wstring> TreeSddls(const std::wstring& root) {
    std::map<std::wstring, std::wstring> found = {{root, KeySddl(root)}};
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, root.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        wchar_t name[256];
        for (DWORD i = 0, length = 256; RegEnumKeyExW(key, i, name, &length, nullptr, nullptr,
                                                      nullptr, nullptr) == ERROR_SUCCESS;
             ++i, length = 256) {
            found.merge(TreeSddls(root + L"\\" + name));
        }
        RegCloseKey(key);
    }
    return found;
}

ProcessResult RunIn(const std::wstring& exe, const std::wstring& arguments) {
    return RunProcess(exe, L"\"" + exe + L"\" " + arguments);
}

TEST_F(ToolTest, FilesPlantedUnderTheUndoNamesAreLeftAsTheyWereAndNeverRestored) {
    Seed(L".qk4");
    Seed(L".qk4\\sub", L"O:BAD:P(A;;KA;;;BA)(A;;KR;;;BU)");
    Seed(L".zor", L"O:SYD:P(A;;RCWO;;;BA)(A;;KA;;;SY)"); // first write denied
    std::map<std::wstring, std::wstring> before = TreeSddls(L".qk4");
    before.merge(TreeSddls(L".zor"));
    const std::wstring victim = dir + L"\\victim.txt";
    WriteBytes(victim, "precious");
    struct Plant {
        const char* what;
        std::string bytes; // empty: a hard link to the victim
    };
    for (const Plant& plant :
         {Plant{"a foreign entry", Utf16Bytes(L"\xFEFFtypekey-repair undo file, version 1\r\n"
                                              L".qk4\tO:WDD:(A;;KA;;;WD)\r\n")},
          Plant{"junk", "junk"}, Plant{"a hard link", ""}}) {
        const std::wstring logs = ScratchDirectory(L"planted");
        std::vector<std::wstring> planted;
        const __time64_t now = _time64(nullptr);
        for (const std::wstring& stamp : TimeStamps(now, now + 30)) {
            planted.push_back(logs + L"\\typekey-repair" + stamp + L"_undo.txt");
            if (plant.bytes.empty()) {
                ASSERT_TRUE(CreateHardLinkW(planted.back().c_str(), victim.c_str(), nullptr));
            } else {
                WriteBytes(planted.back(), plant.bytes);
            }
        }
        const ToolRun repair = Run(L"-q -log \"" + logs + L"\"");
        EXPECT_EQ(repair.exitCode, 0u) << plant.what;
        for (const std::wstring& file : planted) {
            ASSERT_EQ(ReadBytes(file), plant.bytes.empty() ? "precious" : plant.bytes);
        }
        const std::wstring own = FindFile(logs, L"*_undo_2.txt");
        ASSERT_FALSE(own.empty()) << plant.what;
        EXPECT_NE(ReadBytes(FindFile(logs, L"*.log"))
                      .find(Utf16Bytes(L"\" exists already; this run's undo file is \"" + own)),
                  std::string::npos);
        const ToolRun restore = Run(L"-q -undo \"" + own + L"\"");
        EXPECT_EQ(restore.exitCode, 0u) << plant.what;
        EXPECT_NE(restore.console.find("Summary: 3 keys restored, 0 failed"), std::string::npos);
        std::map<std::wstring, std::wstring> after = TreeSddls(L".qk4");
        after.merge(TreeSddls(L".zor"));
        EXPECT_EQ(after, before) << plant.what;
    }
    Run(L"-q"); // leaves keys the next test can move away
}

TEST_F(ToolTest, ChangingRunsTakeTurnsAndAStoppedOneChangesNothing) {
    ASSERT_EQ(SeedTree(L".qk4", 1500), ERROR_SUCCESS);
    const std::map<std::wstring, std::wstring> before = TreeSddls(L".qk4");
    const std::wstring logs = ScratchDirectory(L"turns");
    ProcessResult first;
    ProcessResult second;
    std::thread other([&] { second = RunIn(exe, L"-q -log \"" + logs + L"\""); });
    first = RunIn(exe, L"-q -log \"" + logs + L"\"");
    other.join();
    const ProcessResult& stopped = first.exitCode == 3 ? first : second;
    const ProcessResult& repaired = first.exitCode == 3 ? second : first;
    EXPECT_EQ(stopped.exitCode, 3u);
    EXPECT_EQ(repaired.exitCode, 0u);
    EXPECT_EQ(stopped.output, "Another typekey-repair run is in progress.\r\n");
    const std::wstring undo = FindFile(logs, L"*_undo*.txt"); // only the run that repaired
    ASSERT_FALSE(undo.empty());

    // A restore while a repair runs waits for no one: it changes nothing and says so.
    ProcessResult during;
    const ToolRun again = Run(L"-q", [&](const ProcessSample&) {
        // Once the repair has its undo file, it holds the lock.
        if (during.output.empty() && !FindFile(dir, L"*_undo.txt").empty()) {
            during = RunIn(exe, L"-q -log \"" + logs + L"\" -undo \"" + undo + L"\"");
        }
    });
    EXPECT_EQ(again.exitCode, 0u);
    EXPECT_EQ(during.exitCode, 3u);
    EXPECT_EQ(Count(during.output, "DONE"), 0u);

    EXPECT_EQ(RunIn(exe, L"-q -log \"" + logs + L"\" -undo \"" + undo + L"\"").exitCode, 0u);
    EXPECT_EQ(TreeSddls(L".qk4"), before);
}

TEST_F(ToolTest, ARepairKilledMidwayIsUndoneFromWhatItsFileHoldsWhateverItsLastLine) {
    ASSERT_EQ(SeedTree(L".qk4", 1500), ERROR_SUCCESS);
    const std::map<std::wstring, std::wstring> before = TreeSddls(L".qk4");
    struct Case {
        size_t killAt; // bytes of undo file
        std::string tail;
    };
    for (const Case& c : {Case{2000, Utf16Bytes(L".qk4\\b9\\k0\tO:BAD:P(A;;")},
                          Case{20000, std::string(4096, '\0')}, Case{60000, "\x2e"}}) {
        const std::wstring logs = ScratchDirectory(L"killed");
        RunProcess(exe, L"\"" + exe + L"\" -q -log \"" + logs + L"\"",
                   [&](const ProcessSample& sample) {
                       const std::wstring undo = FindFile(logs, L"*_undo.txt");
                       if (!undo.empty() && ReadBytes(undo).size() >= c.killAt) {
                           TerminateProcess(sample.process, 9);
                       }
                   });
        const std::wstring undo = FindFile(logs, L"*_undo.txt");
        ASSERT_FALSE(undo.empty());
        const std::string whole = ReadBytes(undo);
        // Damage before the last line refuses the whole file and changes nothing.
        std::string damaged = whole + c.tail;
        damaged[whole.find(Utf16Bytes(L"\r\n")) + 6] = '%';
        WriteBytes(undo, damaged);
        const std::map<std::wstring, std::wstring> killed = TreeSddls(L".qk4");
        EXPECT_EQ(Run(L"-q -undo \"" + undo + L"\"").exitCode, 2u);
        EXPECT_EQ(TreeSddls(L".qk4"), killed);

        WriteBytes(undo, whole + c.tail);
        const ToolRun restore = Run(L"-q -undo \"" + undo + L"\"");
        EXPECT_EQ(restore.exitCode, 1u) << c.killAt;
        EXPECT_NE(restore.console.find(" is cut short and was ignored.\r\n"), std::string::npos);
        EXPECT_EQ(TreeSddls(L".qk4"), before) << c.killAt;
    }
}

// The keys administrators meet that lock them out: under Windows' rules the take-ownership
// privilege opens each, the keys below are visited, and the undo gives back what it could save.
TEST_F(ToolTest, KeysLockingAdministratorsOutAreTakenRepairedEnteredAndRestored) {
    if (!StrictServer()) {
        GTEST_SKIP() << "needs Windows' access rules: the strict Wine server";
    }
    const std::vector<std::pair<std::wstring, const wchar_t*>> seeds = {
        {L".qk4", kNormalSddl},
        {L".qk4\\nodac", L"O:SYD:P(D;;WD;;;BA)(A;;KA;;;BA)(A;;KA;;;SY)"},
        {L".qk4\\system", kLockedSddl}, // grants administrators nothing
        {L".qk4\\user", L"O:S-1-5-21-7-8-9-1001D:P(A;;KA;;;S-1-5-21-7-8-9-1001)(A;;RC;;;BA)"},
        {L".zor", kDeniedSddl}};
    std::map<std::wstring, std::wstring> before;
    for (const auto& [key, sddl] : seeds) {
        Seed(key, sddl);
        Seed(key + L"\\below");
        before[key] = KeySddl(key);
        before[key + L"\\below"] = KeySddl(key + L"\\below");
    }
    const ToolRun repair = Run(L"-q");
    // Every key repaired; the two that deny administrators reading their security are saved as
    // unreadable here (Wine ignores the backup privilege), which -q counts as not saved.
    EXPECT_EQ(repair.exitCode, 1u);
    EXPECT_NE(repair.console.find(", 2 not saved for undo\r\n"), std::string::npos);
    Expected expected;
    for (const auto& [key, sddl] : seeds) {
        expected.Repaired(key, sddl != kNormalSddl);
        expected.Repaired(key + L"\\below");
    }
    EXPECT_EQ(repair.console.substr(0, expected.console.size()), expected.console);
    for (const auto& [key, sddl] : before) {
        EXPECT_TRUE(IsRepairedSddl(KeySddl(key), 2)) << Narrow(key) << ": " << Narrow(KeySddl(key));
    }

    const std::wstring saved = dir + L"\\saved undo.txt";
    WriteBytes(saved, repair.undo);
    EXPECT_EQ(Run(L"-undo \"" + saved + L"\" -q").exitCode, 1u); // the unreadable key
    for (const auto& [key, sddl] : before) {
        if (sddl != L"error 5") { // Wine cannot read such keys for the undo file; Windows can
            EXPECT_EQ(KeySddl(key), sddl) << Narrow(key);
        }
    }
    // Inherit-only entries leave each table key unreadable after its repair, not unrepaired.
    const ToolRun inheritOnly = Run(L"-i5 -q");
    const std::string unlisted = "SKIPPED: the keys below it cannot be listed (error 5)\r\n";
    EXPECT_EQ(inheritOnly.console.rfind("Fix \".qk4\" ...\r\nDONE\r\n" + unlisted +
                                            "Fix \".zor\" ...\r\nDONE\r\n" + unlisted,
                                        0),
              0u)
        << inheritOnly.console;
    EXPECT_TRUE(IsRepairedSddl(KeySddl(L".zor"), 8)) << Narrow(KeySddl(L".zor"));
    Run(L"-q"); // leaves keys the next test can move away
}

// Each write stops at its key: every key ends with the DACL Windows' inheritance rules give it
// from its parent as the run left that parent (the rules themselves are tested on their own),
// and the undo gives every descriptor back as it was, inherited entries and flags included.
TEST_F(ToolTest, EachKeyInheritsFromItsRepairedParentAndTheUndoIsExact) {
    if (!StrictServer()) { // stock Wine refuses the owner write of keys the -i options lock
        GTEST_SKIP() << "needs Windows' access rules: the strict Wine server";
    }
    const std::vector<std::pair<std::wstring, const wchar_t*>> seeds = {
        {L".qk4", L"O:BAD:AI(A;CI;KA;;;BA)(A;CIID;KR;;;BU)"},
        {L".qk4\\a", L"O:BAD:AI(A;;KA;;;BA)(A;CIID;KA;;;BA)(A;CIIOID;GR;;;AU)"},
        {L".qk4\\a\\b", L"O:SYD:AI(A;;KA;;;SY)(A;CIID;KA;;;BA)(A;ID;KR;;;AU)"},
        {L".qk4\\a\\b\\c", L"O:BAD:(A;CIID;KA;;;BA)(A;OIIOID;GR;;;AU)"},
        {L".qk4\\p", L"O:BAD:PAI(A;;KA;;;BA)(A;CI;KR;;;AU)"},
        {L".qk4\\p\\c", L"O:BAD:AI(A;CIID;KR;;;AU)(A;CIID;KA;;;BA)"}};
    for (const auto& [key, sddl] : seeds) {
        Seed(key, sddl);
    }
    const std::map<std::wstring, std::wstring> before = TreeSddls(L".qk4");
    // The table key inherits from the classes root it belongs to.
    tkr::Bytes classes;
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes", 0,
                            READ_CONTROL | KEY_WOW64_64KEY, &root),
              ERROR_SUCCESS);
    ASSERT_EQ(tkr::ReadKeySecurity(root, DACL_SECURITY_INFORMATION, classes), ERROR_SUCCESS);
    RegCloseKey(root);
    for (const auto& [options, flags] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"", L"CI"}, {L"-i1", L"OI"}, {L"-i3 -i4", L"OICINP"}, {L"-i1 -i5", L"OIIO"}}) {
        std::map<std::wstring, tkr::Bytes> start;
        for (const auto& [key, sddl] : before) {
            ASSERT_EQ(ReadKeyDescriptor(key, start[key]), ERROR_SUCCESS);
        }
        const ToolRun repair = Run(options + L" -q");
        // Keys below an inherit-only key are not reached: said, and counted as failed.
        const DWORD unreached = flags.find(L"IO") != std::wstring::npos ? 1 : 0;
        EXPECT_EQ(repair.exitCode, unreached) << Narrow(options);
        const tkr::Bytes repairAcl =
            DescriptorFromSddl(L"D:(A;" + flags + L";GR;;;WD)(A;" + flags + L";GA;;;BA)");
        tkr::DescriptorParts repairParts;
        ASSERT_TRUE(tkr::ParseDescriptor(repairAcl, repairParts));
        for (const auto& [key, sddl] : before) {
            if (Count(repair.console, "Fix \"" + Narrow(key) + "\" ...\r\nDONE") == 0) {
                continue; // below an inherit-only key, which is not entered
            }
            const size_t slash = key.rfind(L'\\');
            tkr::Bytes parent, after;
            if (slash != std::wstring::npos) {
                ASSERT_EQ(ReadKeyDescriptor(key.substr(0, slash), parent), ERROR_SUCCESS);
            }
            ASSERT_EQ(ReadKeyDescriptor(key, after), ERROR_SUCCESS);
            tkr::DescriptorParts startParts;
            ASSERT_TRUE(tkr::ParseDescriptor(start[key], startParts)) << Narrow(key);
            const tkr::Bytes expected =
                tkr::RepairedDaclDescriptor(repairParts.dacl, startParts, &tkr::AdministratorsSid(),
                                            slash == std::wstring::npos ? &classes : &parent);
            EXPECT_EQ(SddlOf(after, DACL_SECURITY_INFORMATION),
                      SddlOf(expected, DACL_SECURITY_INFORMATION))
                << Narrow(options) << " " << Narrow(key);
            EXPECT_EQ(KeySddl(key).rfind(L"O:BA", 0), 0u) << Narrow(key);
        }
        EXPECT_EQ(Run(options + L" -check -q").exitCode, unreached) << Narrow(options);
        const std::wstring saved = dir + L"\\saved undo.txt";
        WriteBytes(saved, repair.undo);
        EXPECT_EQ(Run(L"-undo \"" + saved + L"\" -q").exitCode, 0u) << Narrow(options);
        EXPECT_EQ(TreeSddls(L".qk4"), before) << Narrow(options);
    }
    Run(L"-q"); // leaves keys the next test can move away
}

} // namespace
