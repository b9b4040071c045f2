// The undo file of a repair run, and the restore run that puts every key back as it was.
#include "e2e.h"

#include <map>

using namespace tkrtest;

namespace {

std::wstring Text(const std::string& bytes) {
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
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
    ASSERT_EQ(repair.exitCode, 1u); // the locked key
    EXPECT_TRUE(IsRepairedSddl(KeySddl(L".qk4\\system"), 2));
    const std::wstring undo = Text(repair.undo);
    EXPECT_EQ(undo.rfind(L"\xFEFFtypekey-repair undo file, version 1\r\n", 0), 0u);
    EXPECT_NE(undo.find(L"\r\n.qk4\\tab%09here\tO:BAD:"), std::wstring::npos);
    EXPECT_NE(undo.find(L"\r\n.qk4\\line%0Afeed\tO:BAD:"), std::wstring::npos);
    EXPECT_NE(undo.find(L"\r\n.qk4\\100%25\tO:BAD:"), std::wstring::npos);
    EXPECT_NE(undo.find(L"\r\n.qk4\\locked\tunreadable 5\r\n"), std::wstring::npos);

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
        EXPECT_EQ(KeySddl(key), sddl) << Narrow(key);
    }
    // Restoring again finds every key as recorded and writes nothing.
    EXPECT_EQ(Count(Run(L"-undo \"" + saved + L"\"").console, "\r\nDONE\r\n"), 11u);
    Run(L"-q"); // leaves keys the next test can move away
}

TEST_F(ToolTest, AnUndoFileThatIsNotWholeAndValidIsRefusedAndChangesNothing) {
    Seed(L".qk4");
    const std::wstring before = KeySddl(L".qk4");
    const std::wstring header = L"\xFEFFtypekey-repair undo file, version 1\r\n";
    const std::wstring entry = L".qk4\tO:SYD:P(A;;KA;;;SY)\r\n";
    struct Case {
        const char* what;
        std::string bytes;
        const char* line;
    };
    const std::string whole = Utf16Bytes(header + entry);
    for (const Case& c :
         {Case{"cut mid-line", whole.substr(0, whole.size() - 12), "line 2"},
          Case{"bad SDDL", Utf16Bytes(header + L".qk4\tO:SYD:P(A;;QQ;;;SY)\r\n"), "line 2"},
          Case{"other version",
               Utf16Bytes(L"\xFEFFtypekey-repair undo file, version 2\r\n" + entry), "line 1"},
          Case{"empty", "", "line 1"},
          Case{"not UTF-16", "typekey-repair undo file, version 1\r\n", "line 1"},
          Case{"outside the trees",
               Utf16Bytes(header + entry + L"tkr-elsewhere\tO:SYD:P(A;;KA;;;SY)\r\n"), "line 3"},
          Case{"bad escape", Utf16Bytes(header + L".qk4\\%zz\tO:BAD:P(A;;KA;;;BA)\r\n"),
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

TEST_F(ToolTest, AnUndoFileHeldByAnotherProgramLeavesWarningsAndTheRepairUnchanged) {
    Seed(L".qk4");
    Seed(L".zor", kDeniedSddl);
    // The undo file's name is predictable to the second: hold every name of the coming seconds.
    const std::wstring logs = dir + L"\\logs";
    CreateDirectoryW(logs.c_str(), nullptr);
    std::vector<HANDLE> held;
    const __time64_t now = _time64(nullptr);
    for (const std::wstring& stamp : TimeStamps(now, now + 30)) {
        held.push_back(CreateFileW((logs + L"\\typekey-repair" + stamp + L"_undo.txt").c_str(),
                                   GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
    const ToolRun run = Run(L"-log \"" + logs + L"\"");
    for (HANDLE handle : held) {
        CloseHandle(handle);
    }
    const std::wstring log = Text(ReadBytes(FindFile(logs, L"*.log")));
    Expected expected;
    expected.Repaired(L".qk4");
    expected.Repaired(L".zor", true);
    EXPECT_EQ(run.console.substr(0, expected.console.size()), expected.console);
    const std::wstring notSaved =
        L"Warning: \tPrevious owner and DACL not saved in the undo file. Error: 32\r\n";
    const std::wstring first = L"Message: Fix \".qk4\" ...\r\n" + notSaved +
                               L"Message: \tSuccessfully changed DACL permissions\r\n";
    EXPECT_EQ(log.substr(0, first.size()), first);
    EXPECT_NE(log.find(L"Message: Fix \".zor\" ...\r\n" + notSaved +
                       L"Warning: \tFirst SetNamedSecurityInfo access denide\r\n"),
              std::wstring::npos);
}

} // namespace
