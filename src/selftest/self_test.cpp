#include "selftest/self_test.h"

#include "registry/tree_key.h"
#include "registry/walk.h"
#include "report/run_log.h"
#include "report/undo_file.h"
#include "security/descriptor.h"
#include "security/privilege.h"
#include "selftest/child_process.h"
#include "selftest/dacl_compare.h"
#include "selftest/registry_state.h"
#include "selftest/seeds.h"
#include "selftest/tool_runs.h"
#include "selftest/verdict.h"

#include <sddl.h>

#include <algorithm>
#include <cwchar>

namespace tkr::selftest {
namespace {

constexpr wchar_t kLinkSkipped[] = L"SKIPPED: registry link, not followed";
// The DACL the tool writes with its default options, as SDDL.
constexpr wchar_t kRepairSddl[] = L"O:BAD:(A;CI;GR;;;WD)(A;CI;GA;;;BA)";

std::wstring InTrees(const std::wstring& path) {
    return Join(kScratch, path);
}

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

// Owner Administrators, and as the DACL's own entries exactly the repair's two, with container
// inherit (generic rights or the key rights they stand for, in either order).
bool IsRepaired(const std::wstring& sddl) {
    if (!sddl.starts_with(L"O:BAD:")) {
        return false;
    }
    std::vector<std::wstring> own;
    for (size_t open = sddl.find(L'('); open != std::wstring::npos;
         open = sddl.find(L'(', open + 1)) {
        const std::wstring entry = sddl.substr(open + 1, sddl.find(L')', open) - open - 1);
        const size_t flags = entry.find(L';') + 1;
        const std::wstring entryFlags = entry.substr(flags, entry.find(L';', flags) - flags);
        bool inherited = false;
        for (size_t i = 0; i + 1 < entryFlags.size(); i += 2) {
            inherited |= entryFlags.compare(i, 2, L"ID") == 0;
        }
        if (!inherited) {
            own.push_back(entry);
        }
    }
    auto is = [](const std::wstring& entry, const wchar_t* generic, const wchar_t* mapped,
                 const wchar_t* sid) {
        return entry == L"A;CI;" + std::wstring(generic) + L";;;" + sid ||
               entry == L"A;CI;" + std::wstring(mapped) + L";;;" + sid;
    };
    auto everyone = [&](const std::wstring& e) { return is(e, L"GR", L"KR", L"WD"); };
    auto admins = [&](const std::wstring& e) { return is(e, L"GA", L"KA", L"BA"); };
    return own.size() == 2 &&
           ((everyone(own[0]) && admins(own[1])) || (admins(own[0]) && everyone(own[1])));
}

std::wstring Text(const Snapshot& snapshot, const std::wstring& path) {
    const auto found = snapshot.find(path);
    return found == snapshot.end() ? L"not present" : found->second;
}

LSTATUS ReadDescriptorAt(HKEY root, const std::wstring& path, const ProcessToken& token,
                         Bytes& descriptor) {
    UniqueKey key;
    LSTATUS status = OpenPath(root, path, READ_CONTROL, key, &token);
    return status == ERROR_SUCCESS
               ? ReadKeySecurity(key.get(),
                                 OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION,
                                 descriptor)
               : status;
}

bool HasInheritedEntry(const Bytes& descriptor) {
    DescriptorParts parts;
    bool inherited = false;
    if (ParseDescriptor(descriptor, parts) && parts.dacl) {
        ForEachAce(parts.dacl, [&](const BYTE* ace, WORD) {
            inherited |= (reinterpret_cast<const ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE) != 0;
        });
    }
    return inherited;
}

// The fifteen trees as HKEY_CLASSES_ROOT shows them.
Snapshot Trees(const ProcessToken& token) {
    Snapshot trees;
    for (const wchar_t* table : DocumentTypeKeys) {
        AddSnapshot(trees, TakeSnapshot(HKEY_CLASSES_ROOT, table, token));
    }
    return trees;
}

// Keys outside the trees that a faulty tool could reach: the seeded sentinel and twin, and every
// other key directly below HKEY_CLASSES_ROOT.
Snapshot Outside(const ProcessToken& token) {
    Snapshot outside = TakeSnapshot(HKEY_CLASSES_ROOT, kSentinel, token);
    AddSnapshot(outside, TakeSnapshot(HKEY_CLASSES_ROOT, kTwin, token));
    for (const std::wstring& name : ReadSubkeyNames(HKEY_CLASSES_ROOT)) {
        bool mine = SameRegistryName(name, kSentinel) || SameRegistryName(name, kTwin);
        for (const wchar_t* table : DocumentTypeKeys) {
            mine |= SameRegistryName(name, table);
        }
        if (!mine) {
            outside[name] = SecurityTextAt(HKEY_CLASSES_ROOT, name, token);
        }
    }
    return outside;
}

// What Windows' own inheritance gave the twin.
struct WindowsAnswer {
    DWORD inheritance = ERROR_SUCCESS; // of its computation; an error: it computes none here
    DWORD status = ERROR_SUCCESS;      // of reading or writing the twin
    std::wstring where;                // the twin's key where that failed
};

struct PrivateSecurityTraits {
    using Type = PSECURITY_DESCRIPTOR;
    static Type Empty() { return nullptr; }
    static void Close(Type descriptor) { ::DestroyPrivateObjectSecurity(&descriptor); }
};

// Writes the repair's DACL to the key with the inherited entries Windows' own inheritance code
// computes from the parent's descriptor as it now is (what its propagating calls apply to each
// key below one they write), keeping the protection asked for. The write reaches this key alone.
WindowsAnswer WriteInheritedDacl(HKEY key, const Bytes& parent, const ACL* repairDacl,
                                 bool isProtected) {
    Bytes current;
    SECURITY_DESCRIPTOR wanted;
    PSID owner = nullptr;
    PSID group = nullptr;
    BOOL defaulted = FALSE;
    DWORD status =
        ReadKeySecurity(key, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, current);
    if (status != ERROR_SUCCESS ||
        !::InitializeSecurityDescriptor(&wanted, SECURITY_DESCRIPTOR_REVISION) ||
        !::GetSecurityDescriptorOwner(current.data(), &owner, &defaulted) ||
        !::GetSecurityDescriptorGroup(current.data(), &group, &defaulted) ||
        !::SetSecurityDescriptorOwner(&wanted, owner, FALSE) ||
        !::SetSecurityDescriptorGroup(&wanted, group, FALSE) ||
        !::SetSecurityDescriptorDacl(&wanted, TRUE, const_cast<ACL*>(repairDacl), FALSE) ||
        !::SetSecurityDescriptorControl(&wanted, SE_DACL_PROTECTED,
                                        isProtected ? SE_DACL_PROTECTED : 0)) {
        return {ERROR_SUCCESS, status != ERROR_SUCCESS ? status : ::GetLastError(), L""};
    }
    GENERIC_MAPPING keyRights = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    Unique<PrivateSecurityTraits> computed;
    if (!::ConvertToAutoInheritPrivateObjectSecurity(const_cast<BYTE*>(parent.data()), &wanted,
                                                     computed.put(), nullptr, TRUE, &keyRights)) {
        return {::GetLastError(), ERROR_SUCCESS, L""};
    }
    return {ERROR_SUCCESS,
            static_cast<DWORD>(::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, computed.get())),
            L""};
}

// Windows' own answer: on the twin, key by key from the top, the repair's sequence (DACL, owner,
// DACL), each key reached through the one above it as itself.
WindowsAnswer ApplyWindowsSequence(const ProcessToken& token) {
    UniqueDescriptor repair;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kRepairSddl, SDDL_REVISION_1,
                                                                repair.put(), nullptr) ||
        !::GetSecurityDescriptorDacl(repair.get(), &present, &dacl, &defaulted)) {
        return {ERROR_SUCCESS, ::GetLastError(), kTwin};
    }
    const ScopedPrivilege take = ScopedPrivilege::Enable(token, Privilege::TakeOwnership);
    const std::wstring scratchTwin = Join(kTwin, L"tkr-selftest");
    std::vector<std::pair<std::wstring, bool>> keys = {{kTwin, false}, {scratchTwin, false}};
    for (const FamilyKey& family : kFamily) {
        keys.emplace_back(Join(scratchTwin, family.path), family.isProtected);
    }
    for (const auto& [path, isProtected] : keys) {
        const size_t last = path.rfind(L'\\');
        UniqueKey key;
        Bytes parent;
        LSTATUS status =
            OpenPath(HKEY_CLASSES_ROOT, path, READ_CONTROL | WRITE_DAC | WRITE_OWNER, key);
        if (status == ERROR_SUCCESS) {
            status = last == std::wstring::npos
                         ? ReadKeySecurity(HKEY_CLASSES_ROOT,
                                           OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                               DACL_SECURITY_INFORMATION,
                                           parent)
                         : ReadDescriptorAt(HKEY_CLASSES_ROOT, path.substr(0, last), token, parent);
        }
        WindowsAnswer answer{ERROR_SUCCESS, static_cast<DWORD>(status), path};
        if (status == ERROR_SUCCESS) {
            answer = WriteInheritedDacl(key.get(), parent, dacl, isProtected);
        }
        if (answer.inheritance == ERROR_SUCCESS && answer.status == ERROR_SUCCESS) {
            answer.status = static_cast<DWORD>(SetSddl(key.get(), L"O:BA"));
        }
        if (answer.inheritance == ERROR_SUCCESS && answer.status == ERROR_SUCCESS) {
            answer = WriteInheritedDacl(key.get(), parent, dacl, isProtected);
        }
        if (answer.inheritance != ERROR_SUCCESS || answer.status != ERROR_SUCCESS) {
            answer.where = path;
            return answer;
        }
    }
    return {};
}

// The checks of one key the repair must have taken: each named key repaired, none taken for a
// link.
Outcome Repaired(const ToolRun& repair, const Snapshot& after,
                 std::initializer_list<const wchar_t*> paths) {
    for (const wchar_t* name : paths) {
        const std::wstring path = InTrees(name);
        if (IsRepaired(Text(after, path))) {
            continue;
        }
        const std::wstring result = ResultOf(repair.output, L"Fix", path);
        return Failed(path + L": " +
                      (result.empty() ? std::wstring(L"the repair did not reach it")
                       : result == kLinkSkipped
                           ? std::wstring(L"the repair took it for a registry link")
                           : L"the repair said \"" + result + L"\"") +
                      L"; " + Text(after, path));
    }
    return Passed();
}

struct Physical {
    HKEY root;
    std::wstring rootName;
    std::wstring path;
    [[nodiscard]] std::wstring Name() const { return rootName + L"\\" + path; }
};

// The user's merged table key and its child, the machine's and its child.
std::vector<Physical> MergedKeys(const Seeds& seeds) {
    return {{seeds.UserClasses(), kUserClasses, kMergedTable},
            {seeds.UserClasses(), kUserClasses, Join(kMergedTable, kUserChild)},
            {seeds.MachineClasses(), kMachineClasses, kMergedTable},
            {seeds.MachineClasses(), kMachineClasses, Join(kMergedTable, kMachineChild)}};
}

// The merged view: the user's key and its child, and the machine's child shown below the user's
// key, all repaired; the machine's child with no entry inherited from the user's key.
Outcome Merged(bool shown, const std::wstring& seen, const std::vector<Physical>& keys,
               const std::vector<std::wstring>& before, const ProcessToken& token, Report& report) {
    if (!shown) {
        return NotShown(L"this system does not merge the user's classes into HKEY_CLASSES_ROOT "
                        L"(below HKEY_CLASSES_ROOT\\" +
                        std::wstring(kMergedTable) + L" it shows " + seen + L")");
    }
    std::vector<std::wstring> after;
    std::wstring changed;
    std::wstring unchanged;
    for (size_t i = 0; i < keys.size(); ++i) {
        after.push_back(SecurityTextAt(keys[i].root, keys[i].path, token));
        (after[i] != before[i] ? changed : unchanged) += (L", " + keys[i].Name());
    }
    report.Line(L"INFO: in the merged view the repair changed " +
                (changed.empty() ? L"none" : changed.substr(2)) + L"; it left " +
                (unchanged.empty() ? L"none" : unchanged.substr(2)));
    // keys: the user's key, its child, the machine's key, the machine's child.
    for (size_t i : {0u, 1u, 3u}) {
        if (!IsRepaired(after[i])) {
            return Failed(keys[i].Name() + L": not repaired; " + after[i]);
        }
    }
    Bytes child;
    Bytes parent;
    if (ReadDescriptorAt(keys[3].root, keys[3].path, token, child) != ERROR_SUCCESS ||
        ReadDescriptorAt(keys[2].root, keys[2].path, token, parent) != ERROR_SUCCESS) {
        return Failed(keys[3].Name() + L": its security or its parent's cannot be read");
    }
    const std::wstring foreign = EntryFromElsewhere(child, parent);
    return foreign.empty() ? Passed()
                           : Failed(keys[3].Name() + L": inherited entry " + foreign +
                                    L" comes from no entry of its physical parent " +
                                    keys[2].Name() + L" (" + after[2] + L")");
}

// Everything after the seeds are planted: the runs and the checks.
void TestTheTool(Runner& runner, const ProcessToken& token, const Seeds& seeds, Report& report) {
    // What the system can show, asked before the tool runs.
    Bytes leaf;
    const WindowsAnswer oracle = ApplyWindowsSequence(token);
    const bool inherits =
        oracle.inheritance == ERROR_SUCCESS && oracle.status == ERROR_SUCCESS &&
        ReadDescriptorAt(HKEY_CLASSES_ROOT, Join(Join(kTwin, L"tkr-selftest"), kFamily[2].path),
                         token, leaf) == ERROR_SUCCESS &&
        HasInheritedEntry(leaf);
    UniqueKey probe;
    const LSTATUS backupRead =
        OpenPath(HKEY_CLASSES_ROOT, InTrees(kDenyReadControl), READ_CONTROL, probe, &token);
    probe.reset();
    const std::wstring merged = kMergedTable;
    UniqueKey userSeen;
    UniqueKey machineSeen;
    const bool userShown = OpenPath(HKEY_CLASSES_ROOT, Join(merged, kUserChild), KEY_QUERY_VALUE,
                                    userSeen) == ERROR_SUCCESS;
    const bool machineShown = OpenPath(HKEY_CLASSES_ROOT, Join(merged, kMachineChild),
                                       KEY_QUERY_VALUE, machineSeen) == ERROR_SUCCESS;
    userSeen.reset();
    machineSeen.reset();
    const std::vector<Physical> physical = MergedKeys(seeds);
    std::vector<std::wstring> physicalBefore;
    for (const Physical& key : physical) {
        physicalBefore.push_back(SecurityTextAt(key.root, key.path, token));
    }

    const Snapshot seeded = Trees(token);
    const Snapshot outsideBefore = Outside(token);

    (void)runner.Run(L"1-check", L"-check -q");
    const Snapshot checked = Trees(token);
    report.Check(L"-check changes nothing", [&] {
        const std::wstring difference =
            FirstDifference(seeded, checked, [](const std::wstring&) { return false; });
        return difference.empty() ? Passed() : Failed(difference);
    }());

    LogWatch watch(runner.LogFolder(L"2-repair"));
    const ToolRun repair = runner.Run(L"2-repair", L"-q", [&] { watch.Poll(); });
    const Snapshot repaired = Trees(token);
    const Snapshot outsideAfter = Outside(token);

    report.Check(L"a key owned by another account is repaired",
                 Repaired(repair, repaired, {kForeign}));
    report.Check(L"a key that grants administrators nothing is taken, repaired and entered",
                 Repaired(repair, repaired, {kLocked, kLockedChild}));
    report.Check(L"a key whose DACL denies administrators WRITE_DAC is repaired",
                 Repaired(repair, repaired, {kDenyWriteDac}));
    report.Check(L"a key whose DACL denies administrators READ_CONTROL is repaired",
                 Repaired(repair, repaired, {kDenyReadControl}));

    report.Check(
        L"registry links are skipped, and neither they nor their targets are written", [&] {
            for (const wchar_t* name : {kLink, kLockedLink}) {
                const std::wstring path = InTrees(name);
                const std::wstring result = ResultOf(repair.output, L"Fix", path);
                if (result != kLinkSkipped) {
                    return Failed(path + L": the repair said \"" + result + L"\"");
                }
                if (Text(seeded, path) != Text(repaired, path)) {
                    return Failed(path + L": " + Text(seeded, path) + L" became " +
                                  Text(repaired, path));
                }
            }
            const std::wstring sentinel = kSentinel;
            const std::wstring difference =
                FirstDifference(outsideBefore, outsideAfter, [&](const std::wstring& path) {
                    return path != sentinel && !path.starts_with(sentinel + L"\\");
                });
            return difference.empty() ? Passed() : Failed(difference);
        }());
    report.Check(L"no key outside the trees is written", [&] {
        const std::wstring sentinel = kSentinel;
        const std::wstring difference =
            FirstDifference(outsideBefore, outsideAfter, [&](const std::wstring& path) {
                return path == sentinel || path.starts_with(sentinel + L"\\");
            });
        return difference.empty() ? Passed() : Failed(difference);
    }());

    report.Check(L"inherited entries are those Windows' own propagation gives", [&] {
        if (oracle.inheritance != ERROR_SUCCESS) {
            return NotShown(L"this system computes no inherited entries itself "
                            L"(ConvertToAutoInheritPrivateObjectSecurity: error " +
                            std::to_wstring(oracle.inheritance) + L")");
        }
        if (oracle.status != ERROR_SUCCESS) {
            return Failed(L"Windows' own sequence on HKEY_CLASSES_ROOT\\" + oracle.where +
                          L" failed: error " + std::to_wstring(oracle.status));
        }
        if (!inherits) {
            return NotShown(L"this system computes no inherited entries itself (it gave none to "
                            L"HKEY_CLASSES_ROOT\\" +
                            Join(Join(kTwin, L"tkr-selftest"), kFamily[2].path) + L")");
        }
        std::vector<std::wstring> paths = {L""};
        for (const FamilyKey& family : kFamily) {
            paths.push_back(family.path);
        }
        for (const std::wstring& path : paths) {
            const std::wstring tree = path.empty() ? std::wstring(kScratch) : InTrees(path);
            const std::wstring twin =
                Join(kTwin, L"tkr-selftest") + (path.empty() ? L"" : L"\\" + path);
            Bytes tool;
            Bytes windows;
            if (ReadDescriptorAt(HKEY_CLASSES_ROOT, tree, token, tool) != ERROR_SUCCESS ||
                ReadDescriptorAt(HKEY_CLASSES_ROOT, twin, token, windows) != ERROR_SUCCESS) {
                return Failed(tree + L": its security or its twin's cannot be read");
            }
            const std::wstring difference = DaclDifference(tool, windows);
            if (!difference.empty()) {
                return Failed(tree + L": " + difference);
            }
        }
        return Passed();
    }());
    report.Check(L"in the merged view, each key inherits from its physical parent",
                 Merged(userShown && machineShown,
                        userShown      ? L"only the user's subkey"
                        : machineShown ? L"only the machine's subkey"
                                       : L"neither subkey",
                        physical, physicalBefore, token, report));

    const ToolRun checkAfter = runner.Run(L"3-check", L"-check -q");
    report.Check(L"-check after the repair finds every key OK", [&] {
        // "Check "<path>" ...", then its result.
        const std::wstring output = L"\n" + checkAfter.output;
        const size_t needs = output.find(L"\nNEEDS REPAIR");
        const size_t start =
            needs == std::wstring::npos ? needs : output.rfind(L"\nCheck \"", needs);
        if (start != std::wstring::npos) {
            const size_t path = start + 8;
            const size_t end = output.find(L'\n', needs + 1);
            return Failed(output.substr(path, output.rfind(L"\" ...", needs) - path) + L": " +
                          output.substr(needs + 1, end - needs - 1));
        }
        return checkAfter.exitCode == 0
                   ? Passed()
                   : Failed(L"exit status " + std::to_wstring(checkAfter.exitCode));
    }());

    const std::wstring undoFile = FindFile(repair.logFolder, L"*_undo*.txt");
    const std::vector<UndoLine> entries = ReadUndoFile(undoFile, DocumentTypeKeys).entries;
    report.Check(L"keys that deny administrators reading their security are saved for undo", [&] {
        if (backupRead != ERROR_SUCCESS) {
            return NotShown(L"this system does not let the backup privilege read a key whose "
                            L"DACL denies it (error " +
                            std::to_wstring(backupRead) + L")");
        }
        for (const UndoLine& entry : entries) {
            if (entry.unreadable != ERROR_SUCCESS) {
                return Failed(entry.path + L": its undo entry says unreadable " +
                              std::to_wstring(entry.unreadable));
            }
        }
        return entries.empty() ? Failed(L"no undo entries in \"" + undoFile + L"\"") : Passed();
    }());

    const ToolRun undo = runner.Run(L"4-undo", L"-undo \"" + undoFile + L"\" -q");
    const Snapshot restored = Trees(token);
    report.Check(L"-undo gives every key of the fifteen trees back exactly", [&] {
        if (undoFile.empty()) {
            return Failed(L"the repair left no undo file in \"" + repair.logFolder + L"\"");
        }
        // Keys that no one could read before the repair cannot be compared, nor what is below.
        std::vector<std::wstring> unseen;
        for (const auto& [path, security] : seeded) {
            if (security.starts_with(L"unreadable")) {
                unseen.push_back(path);
            }
        }
        const std::wstring difference =
            FirstDifference(seeded, restored, [&](const std::wstring& path) {
                for (const std::wstring& hidden : unseen) {
                    if (path == hidden || path.starts_with(hidden + L"\\")) {
                        return true;
                    }
                }
                return false;
            });
        if (!difference.empty()) {
            return Failed(difference);
        }
        const bool excused = std::ranges::any_of(
            entries, [](const UndoLine& entry) { return entry.unreadable != ERROR_SUCCESS; });
        return undo.exitCode == 0 || excused ? Passed()
                                             : Failed(L"the restore ended with exit status " +
                                                      std::to_wstring(undo.exitCode));
    }());

    for (const auto& [name, path] :
         {std::pair{L"the chain " + std::to_wstring(kChainDepth) + L" keys deep", InTrees(kChain)},
          std::pair{L"the " + std::to_wstring(kSiblingCount) + L" sibling keys",
                    InTrees(kSiblings)}}) {
        const double seconds = watch.Seconds(path);
        wchar_t text[32];
        swprintf(text, 32, L"%.2f s", seconds);
        report.Line(L"INFO: the repair took " +
                    std::wstring(seconds < 0 ? L"an unknown time" : text) + L" for " + name +
                    L" (" + path + L")");
    }
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
    const std::wstring exe = Join(folder, L"typekey-repair.exe");
    const ChildRun help = RunChild(exe, L"\"" + exe + L"\" -?");
    const std::wstring version = Widen(help.output.substr(0, help.output.find('\n')));
    if (help.startError != ERROR_SUCCESS || !version.starts_with(L"typekey-repair ")) {
        console.WriteErrorLine(L"typekey-repair-selftest: \"" + exe + L"\" could not be run (" +
                               (help.startError ? L"error " + std::to_wstring(help.startError)
                                                : L"it did not name its version") +
                               L"); nothing was changed.");
        return 2;
    }
    DWORD error = ERROR_SUCCESS;
    const std::wstring reportFolder = CreateReportFolder(folder, error);
    Report report;
    if (reportFolder.empty() ||
        (error = report.Create(Join(reportFolder, L"typekey-repair-selftest.txt"))) !=
            ERROR_SUCCESS) {
        console.WriteErrorLine(L"typekey-repair-selftest: no report folder could be made beside "
                               L"it (error " +
                               std::to_wstring(error) + L"); nothing was changed.");
        return 2;
    }
    const std::wstring system = SystemDescription();
    const std::wstring tool = version + L", SHA-256 " + FileSha256(exe);
    report.Line(L"typekey-repair-selftest on " + system + L", testing \"" + exe + L"\" (" + tool +
                L")");
    for (const std::wstring& line : Seeds::Plan()) {
        report.Line(line);
    }
    report.Line(L"The report and the tool's logs: \"" + reportFolder + L"\"");

    const ProcessToken token;
    const Snapshot original = Trees(token);
    Seeds seeds(token);
    std::wstring what;
    LSTATUS status = seeds.RemoveLeftovers(what);
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
    Runner runner(exe, reportFolder);
    TestTheTool(runner, token, seeds, report);

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
