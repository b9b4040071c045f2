#include "selftest/checks.h"

#include "registry/tree_key.h"
#include "registry/walk.h"
#include "report/undo_file.h"
#include "security/descriptor.h"
#include "selftest/dacl_compare.h"
#include "selftest/evidence.h"
#include "selftest/registry_state.h"
#include "selftest/windows_oracle.h"

#include <algorithm>
#include <cwchar>

namespace tkr::selftest {

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

} // namespace tkr::selftest
