#include "selftest/self_test.h"

#include "report/run_log.h"
#include "security/privilege.h"
#include "selftest/checks.h"
#include "selftest/child_process.h"
#include "selftest/evidence.h"
#include "selftest/registry_state.h"
#include "selftest/report_folder.h"
#include "selftest/seeds.h"
#include "selftest/tool_runs.h"
#include "selftest/verdict.h"

#include <exception>

namespace tkr::selftest {
namespace {

bool Elevated() {
    UniqueHandle token;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
        !::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) {
        return false;
    }
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof administrators;
    BOOL member = FALSE;
    return elevation.TokenIsElevated &&
           ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize) &&
           ::CheckTokenMembership(nullptr, administrators, &member) && member;
}

std::wstring NoFolder(DWORD error) {
    return L"typekey-repair-selftest: no report folder could be made beside it (error " +
           std::to_wstring(error) + L"); nothing was changed.";
}

// Copies the tool beside the self-test into a new report folder, the bytes it hashes, and asks
// that copy its version: the tool runs elevated only from a file no one but an administrator can
// change. `tool` is "<version>, SHA-256 <hash>". On failure, says why and returns false.
bool CopyTheTool(const Console& console, const std::wstring& beside, ReportFolder& folder,
                 std::wstring& exe, std::wstring& tool) {
    std::vector<BYTE> bytes;
    DWORD error = ReadWholeFile(beside, bytes);
    ChildRun help;
    if (error == ERROR_SUCCESS) {
        if ((error = folder.Create(beside.substr(0, beside.rfind(L'\\')))) != ERROR_SUCCESS ||
            (error = folder.Write(L"typekey-repair.exe", bytes)) != ERROR_SUCCESS) {
            console.WriteErrorLine(NoFolder(error));
            return false;
        }
        exe = Join(folder.Path(), L"typekey-repair.exe");
        help = RunChild(exe, L"\"" + exe + L"\" -?");
        error = help.startError;
    }
    const std::wstring version = Widen(help.output.substr(0, help.output.find('\n')));
    if (error != ERROR_SUCCESS || !version.starts_with(L"typekey-repair ")) {
        console.WriteErrorLine(
            L"typekey-repair-selftest: \"" + beside + L"\" could not be run (" +
            (error ? L"error " + std::to_wstring(error) : L"it did not name its version") +
            L"); nothing was changed.");
        folder.Discard(L"typekey-repair.exe");
        return false;
    }
    tool = version + L", SHA-256 " + Sha256(bytes);
    return true;
}

} // namespace

int RunSelfTest(int argc, wchar_t** argv) {
    const Console console = Console::Detect();
    bool scratchMachine = false;
    for (int i = 1; i < argc; ++i) {
        scratchMachine |= std::wstring(argv[i]) == L"-scratch-machine";
    }
    if (!Elevated()) {
        console.WriteErrorLine(L"typekey-repair-selftest: it must run elevated, as an "
                               L"administrator; nothing was changed.");
        return 2;
    }
    if (!scratchMachine) {
        console.WriteErrorLine(L"typekey-repair-selftest: it changes the file-type keys of this "
                               L"machine; run it only on a throwaway machine, with "
                               L"-scratch-machine; nothing was changed.");
        return 2;
    }
    const std::wstring self = ProgramPath();
    const std::wstring folder = self.substr(0, self.rfind(L'\\'));
    const std::wstring beside = Join(folder, L"typekey-repair.exe");
    ReportFolder reportFolder;
    std::wstring exe;
    std::wstring tool;
    if (!CopyTheTool(console, beside, reportFolder, exe, tool)) {
        return 2;
    }
    const std::wstring reportPath = reportFolder.Path();
    Report report;
    if (const DWORD error = report.Create(Join(reportPath, L"typekey-repair-selftest.txt"))) {
        console.WriteErrorLine(NoFolder(error));
        return 2;
    }
    const std::wstring system = SystemDescription();
    report.Line(L"typekey-repair-selftest on " + system + L", testing \"" + beside + L"\" (" +
                tool + L")");
    for (const std::wstring& line : Seeds::Plan()) {
        report.Line(line);
    }
    report.Line(L"The report and the tool's logs: \"" + reportPath + L"\"");
    report.Line(L"The tool runs from its copy there: \"" + exe + L"\"");

    const ProcessToken token;
    Seeds seeds(token);
    std::wstring what;
    // What an interrupted self-test left goes first, so that the trees are compared with what
    // they hold without it.
    std::vector<std::wstring> removed;
    LSTATUS status = seeds.RemoveLeftovers(what, removed);
    if (!removed.empty()) {
        std::wstring names;
        for (const std::wstring& name : removed) {
            names += (names.empty() ? L"" : L", ") + name;
        }
        report.Line(L"INFO: removed what an earlier self-test left: " + names);
    }
    const Snapshot original = Trees(token);
    if (status == ERROR_SUCCESS) {
        status = seeds.Plant(what);
    }
    const bool ran = status == ERROR_SUCCESS;
    if (!ran) {
        report.Line(L"The keys to test could not be made: " + what + L".");
        // Nothing was tested: no check is judged, also not the cleanup of what was planted.
        if ((status = seeds.Remove(&what)) != ERROR_SUCCESS) {
            report.Line(L"What it planted could not all be removed: " + what + L": error " +
                        std::to_wstring(status));
        }
        report.NothingTested(system, tool);
        return 2;
    }
    Runner runner(exe, reportPath, report);
    try {
        TestTheTool(runner, token, seeds, report);
    } catch (const std::exception&) {
        // Out of memory, say: what was planted is still removed, and the verdict says so.
        report.Check(L"the self-test runs to its end", Failed(L"it stopped half-way"));
    }

    status = seeds.Remove(&what);
    report.Check(L"nothing is left behind", [&] {
        if (status != ERROR_SUCCESS) {
            return Failed(what + L": could not be removed: error " + std::to_wstring(status));
        }
        const std::vector<Physical> merged = MergedKeys(seeds);
        for (const Physical& key :
             {Physical{HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT", kSentinel},
              Physical{HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT", kTwin}, merged[1], merged[3]}) {
            if (SecurityTextAt(key.root, key.path, token) != L"not present") {
                return Failed(key.Name() + L": still present");
            }
        }
        const std::wstring difference =
            FirstDifference(original, Trees(token), [](const std::wstring&) { return false; });
        return difference.empty() ? Passed() : Failed(difference);
    }());
    report.Verdict(system, tool);
    return report.AnyFailed() ? 1 : 0;
}

} // namespace tkr::selftest
