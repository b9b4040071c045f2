// The self-test that ships with the tool, run as an administrator runs it: beside the exe, on the
// strict server, against the real tool and against stand-ins with one fault each.
#include "e2e.h"

#include <wincrypt.h>

#include <algorithm>

using namespace tkrtest;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// The first line where two dumps of the registry differ, empty if none.
std::wstring FirstChange(const std::vector<std::wstring>& before,
                         const std::vector<std::wstring>& after) {
    const auto [left, right] =
        std::mismatch(before.begin(), before.end(), after.begin(), after.end());
    if (left == before.end() && right == after.end()) {
        return L"";
    }
    return L"before: " + (left == before.end() ? L"(end)" : *left) + L"\nafter:  " +
           (right == after.end() ? L"(end)" : *right);
}

// The file's SHA-256, through CryptoAPI (not the self-test's own code).
std::string Sha256(const std::wstring& path) {
    const std::string bytes = ReadBytes(path);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[32];
    DWORD size = sizeof digest;
    std::string hex;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()),
                      static_cast<DWORD>(bytes.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
        for (BYTE b : digest) {
            hex += "0123456789abcdef"[b >> 4];
            hex += "0123456789abcdef"[b & 15];
        }
    }
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return hex;
}

// A token like this administrator's with the Administrators group for deny only: not elevated.
HANDLE TokenWithoutAdministrators() {
    HANDLE own = nullptr;
    HANDLE restricted = nullptr;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    SID_AND_ATTRIBUTES disabled{sid, 0};
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own) &&
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) {
        CreateRestrictedToken(own, 0, 1, &disabled, 0, nullptr, 0, nullptr, &restricted);
    }
    CloseHandle(own);
    return restricted;
}

class SelfTest : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (!StrictServer()) {
            GTEST_SKIP() << "the self-test's keys that lock administrators out are taken under "
                            "Windows' rules, which only the strict server applies";
        }
        selftest = dir + L"\\typekey-repair-selftest.exe";
        ASSERT_TRUE(CopyFileW(SelfTestPath.c_str(), selftest.c_str(), FALSE));
    }
    ProcessResult RunSelfTest(const std::wstring& arguments, HANDLE token = nullptr) {
        return RunProcess(selftest, L"\"" + selftest + L"\" " + arguments, {}, token);
    }
    // Runs it with the tool replaced by a stand-in with this fault.
    ProcessResult RunOnStandIn(const wchar_t* fault) {
        EXPECT_TRUE(CopyFileW(exe.c_str(), (dir + L"\\typekey-repair-real.exe").c_str(), FALSE));
        EXPECT_TRUE(CopyFileW(StandInPath.c_str(), exe.c_str(), FALSE));
        SetEnvironmentVariableW(L"TKR_STANDIN_FAULT", fault);
        SetEnvironmentVariableW(L"TKR_STANDIN_REAL", (dir + L"\\typekey-repair-real.exe").c_str());
        const ProcessResult result = RunSelfTest(L"-scratch-machine");
        SetEnvironmentVariableW(L"TKR_STANDIN_FAULT", nullptr);
        SetEnvironmentVariableW(L"TKR_STANDIN_REAL", nullptr);
        return result;
    }

    std::wstring selftest;
};

// The tool beside it is replaced by a faulty one once the self-test has started: it tests, and
// runs, the copy it made of the tool it found.
TEST_F(SelfTest, EveryCheckPassesButWhatWineCannotShowAndTheRegistryIsLeftAsItWas) {
    const std::vector<std::wstring> before = RegistryDump();
    const std::string tested = Sha256(exe);
    SetEnvironmentVariableW(L"TKR_STANDIN_FAULT", L"follows-links");
    SetEnvironmentVariableW(L"TKR_STANDIN_REAL", (dir + L"\\typekey-repair-real.exe").c_str());
    ASSERT_TRUE(CopyFileW(exe.c_str(), (dir + L"\\typekey-repair-real.exe").c_str(), FALSE));
    bool swapped = false;
    const ProcessResult run =
        RunProcess(selftest, L"\"" + selftest + L"\" -scratch-machine", [&](const ProcessSample&) {
            if (!swapped && !FindFile(dir, L"typekey-repair-selftest_*").empty()) {
                swapped = CopyFileW(StandInPath.c_str(), exe.c_str(), FALSE);
            }
        });
    SetEnvironmentVariableW(L"TKR_STANDIN_FAULT", nullptr);
    SetEnvironmentVariableW(L"TKR_STANDIN_REAL", nullptr);
    EXPECT_TRUE(swapped);
    EXPECT_EQ(run.exitCode, 0u) << run.output << run.errors;
    EXPECT_EQ(run.errors, "");

    std::vector<std::string> checks;
    std::vector<std::string> lines = Lines(run.output);
    for (const std::string& line : lines) {
        if (line.starts_with("PASS") || line.starts_with("FAIL") || line.starts_with("NOT SHOWN")) {
            checks.push_back(line);
        }
    }
    const std::vector<std::string> expected = {
        "PASS: -check changes nothing",
        "PASS: a key owned by another account is repaired",
        "PASS: a key that grants administrators nothing is taken, repaired and entered",
        "PASS: a key whose DACL denies administrators WRITE_DAC is repaired",
        "PASS: a key whose DACL denies administrators READ_CONTROL is repaired",
        "PASS: registry links are skipped, and neither they nor their targets are written",
        "PASS: no key outside the trees is written",
        "NOT SHOWN: inherited entries are those Windows' own propagation gives: this system's "
        "SetSecurityInfo passes no inherited entries down (it gave none to "
        "HKEY_CLASSES_ROOT\\tkr-selftest-twin\\tkr-selftest\\Inherit\\Open\\Leaf)",
        "NOT SHOWN: in the merged view, each key inherits from its physical parent: this system "
        "does not merge the user's classes into HKEY_CLASSES_ROOT (below "
        "HKEY_CLASSES_ROOT\\.zor it shows only the machine's subkey)",
        "PASS: -check after the repair finds every key OK",
        "NOT SHOWN: keys that deny administrators reading their security are saved for undo: this "
        "system does not let the backup privilege read a key whose DACL denies it (error 5)",
        "PASS: -undo gives every key of the fifteen trees back exactly",
        "PASS: nothing is left behind"};
    EXPECT_EQ(checks, expected) << run.output;

    // The verdict names the system, and the tool's version and the SHA-256 of its exe.
    ASSERT_FALSE(lines.empty());
    const std::string verdict = lines.back();
    EXPECT_TRUE(verdict.starts_with("Self-test: 10 passed, 0 failed, 3 not shown; Windows "))
        << verdict;
    EXPECT_TRUE(verdict.ends_with(std::string(sizeof(void*) == 8 ? ", 64-bit" : "-bit") +
                                  "; typekey-repair 1.0.0.1, SHA-256 " + tested))
        << verdict;
    EXPECT_EQ(Count(run.output, "INFO: the repair took "), 2u);

    // The same lines, in UTF-8, in the report file of the folder it named.
    const std::wstring folder = FindFile(dir, L"typekey-repair-selftest_*");
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(run.output.find("The report and the tool's logs: \"" + Narrow(folder) + "\""),
              std::string::npos);
    EXPECT_EQ(ReadBytes(folder + L"\\typekey-repair-selftest.txt"), run.output);
    EXPECT_NE(run.output.find("The tool runs from its copy there: \"" + Narrow(folder) +
                              "\\typekey-repair.exe\""),
              std::string::npos);
    EXPECT_EQ(Sha256(folder + L"\\typekey-repair.exe"), tested);
    for (const wchar_t* kept :
         {L"\\1-check.txt", L"\\2-repair.txt", L"\\3-check.txt", L"\\4-undo.txt"}) {
        EXPECT_TRUE(FileExists(folder + kept)) << Narrow(kept);
    }
    EXPECT_FALSE(FindFile(folder + L"\\2-repair", L"*_undo.txt").empty());

    EXPECT_EQ(FirstChange(before, RegistryDump()), L"");
}

TEST_F(SelfTest, WithoutScratchMachineOrElevationItChangesNothingAndExitsTwo) {
    const HANDLE notElevated = TokenWithoutAdministrators();
    ASSERT_NE(notElevated, nullptr);
    const struct {
        const wchar_t* arguments;
        HANDLE token;
        const char* line;
    } cases[] = {
        {L"", nullptr,
         "typekey-repair-selftest: it changes the file-type keys of this machine; run it only on "
         "a throwaway machine, with -scratch-machine; nothing was changed.\r\n"},
        {L"-scratch", nullptr,
         "typekey-repair-selftest: it changes the file-type keys of this machine; run it only on "
         "a throwaway machine, with -scratch-machine; nothing was changed.\r\n"},
        {L"-scratch-machine", notElevated,
         "typekey-repair-selftest: it must run elevated, as an administrator; nothing was "
         "changed.\r\n"},
    };
    const std::vector<std::wstring> before = RegistryDump();
    for (const auto& c : cases) {
        const ProcessResult run = RunSelfTest(c.arguments, c.token);
        EXPECT_EQ(run.exitCode, 2u) << Narrow(c.arguments);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.errors, c.line);
        EXPECT_EQ(FindFile(dir, L"typekey-repair-selftest_*"), L"");
    }
    EXPECT_EQ(FirstChange(before, RegistryDump()), L"");
    CloseHandle(notElevated);
}

// On a machine whose ".qk4" is in a state the tool repairs, the self-test plants its keys through
// what administrators are granted there and leaves ".qk4" as it was; where they are granted
// nothing, it names the key and the right, and tests nothing.
TEST_F(SelfTest, PlantsThroughWhatAnExistingTableKeyGrantsOrSaysWhatItLacks) {
    const struct {
        const wchar_t* sddl;
        DWORD exitCode;
        const char* says;
    } cases[] = {
        {L"O:SYD:(D;;SD;;;WD)(A;;KA;;;SY)(A;;KR;;;BU)(A;;KA;;;BA)", 0,
         "PASS: -undo gives every key of the fifteen trees back exactly"},
        // KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | READ_CONTROL only.
        {L"O:SYD:P(A;;KA;;;SY)(A;;0x2000c;;;BA)", 0,
         "PASS: -undo gives every key of the fifteen trees back exactly"},
        {L"O:SYD:P(A;;KA;;;SY)", 2,
         "The keys to test could not be made: .qk4: error 5: it does not grant administrators "
         "KEY_CREATE_SUB_KEY (creating its subkeys)."},
    };
    for (const auto& c : cases) {
        std::wstring moved;
        ASSERT_EQ(MoveTableKeysAway(&moved), ERROR_SUCCESS) << Narrow(moved);
        Seed(L".qk4", c.sddl);
        const std::wstring before = KeySddl(L".qk4");
        const ProcessResult run = RunSelfTest(L"-scratch-machine");
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("FAIL"), std::string::npos) << run.output;
        const std::vector<std::string> lines = Lines(run.output);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().starts_with("Self-test: nothing was tested; "), c.exitCode == 2)
            << lines.back();
        EXPECT_EQ(run.output.find("PASS") == std::string::npos, c.exitCode == 2) << run.output;
        EXPECT_EQ(KeySddl(L".qk4"), before) << Narrow(c.sddl);
    }
}

// A self-test killed while its tool repairs: the tool ends with it, and the next self-test first
// removes what it left, says what, and passes; the registry is then as it was before the first.
TEST_F(SelfTest, AfterOneKilledMidwayTheNextRemovesWhatItLeftAndPasses) {
    const std::vector<std::wstring> before = RegistryDump();
    (void)RunProcess(
        selftest, L"\"" + selftest + L"\" -scratch-machine", [&](const ProcessSample& sample) {
            const std::wstring folder = FindFile(dir, L"typekey-repair-selftest_*");
            if (!folder.empty() && !FindFile(folder + L"\\2-repair", L"*_undo*.txt").empty()) {
                TerminateProcess(sample.process, 9);
            }
        });
    const ProcessResult again = RunSelfTest(L"-scratch-machine");
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    EXPECT_NE(again.output.find("INFO: removed what an earlier self-test left: "
                                "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.qk4\\tkr-selftest, "),
              std::string::npos)
        << again.output;
    EXPECT_EQ(FirstChange(before, RegistryDump()), L"");
}

struct Fault {
    const wchar_t* name;
    const char* line; // how the line of the check that catches it starts
};

class StandIn : public SelfTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(StandIn, HasItsFaultFailTheCheckForItNamingTheKey) {
    const ProcessResult run = RunOnStandIn(GetParam().name);
    EXPECT_EQ(run.exitCode, 1u) << run.errors;
    const std::vector<std::string> lines = Lines(run.output);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.starts_with(GetParam().line);
    })) << run.output;
    EXPECT_TRUE(!lines.empty() && lines.back().starts_with("Self-test: ")) << run.output;
    EXPECT_NE(run.output.find("PASS: nothing is left behind"), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StandIn,
    ::testing::Values(
        Fault{L"follows-links", "FAIL: registry links are skipped, and neither they nor their "
                                "targets are written: tkr-selftest-sentinel: O:BAD:P(A;;KA;;;BA)"
                                "(A;;KA;;;SY)(A;;KR;;;BU) became O:BAD:"},
        Fault{L"inexact-undo", "FAIL: -undo gives every key of the fifteen trees back exactly: "
                               ".qk4: "},
        Fault{L"no-take-ownership", "FAIL: a key that grants administrators nothing is taken, "
                                    "repaired and entered: .qk4\\tkr-selftest\\Locked: the "
                                    "repair said \"ERROR OCCURED\""},
        Fault{L"check-walks-nothing", "FAIL: -check changes nothing: .qk4\\tkr-selftest\\Foreign: "
                                      "the check did not reach it"},
        Fault{L"undo-without-locked", "FAIL: keys that deny administrators reading their security "
                                      "are saved for undo: .qk4\\tkr-selftest\\Locked: no undo "
                                      "entry"},
        Fault{L"write-outside", "FAIL: no key outside the trees is written: tkr-selftest-twin: "},
        Fault{L"check-writes", "FAIL: -check changes nothing: "
                               ".qk4\\tkr-selftest\\Siblings\\s000: "},
        Fault{L"inherited-as-explicit", "FAIL: -check after the repair finds every key OK: "
                                        ".qk4\\tkr-selftest\\Inherit\\Open\\Leaf: NEEDS "
                                        "REPAIR"}));

} // namespace
