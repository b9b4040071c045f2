// The tool's four runs on the planted keys, and the registry read around them.
#include "selftest/checks.h"

#include "registry/walk.h"
#include "selftest/backup_read.h"
#include "report/undo_file.h"

namespace tkr::selftest {

Evidence Gather(Runner& runner, const ProcessToken& token, const Seeds& seeds, Report& report) {
    Evidence e;
    // What the system can show, asked before the tool runs.
    e.backupRead = ProbeBackupRead(token, InTrees(kDenyReadControl));
    e.merged = ShowMerged(token, MergedKeys(seeds), kMergedTable, kUserChild, kMachineChild);
    e.seeded = Trees(token);
    e.outsideBefore = Outside(token);
    e.checkBefore = runner.Run(L"1-check", L"-check -q");
    e.checked = Trees(token);

    LogWatch watch(runner.LogFolder(L"2-repair"));
    e.repair = runner.Run(L"2-repair", L"-q", [&] { watch.Poll(); });
    e.repaired = Trees(token);
    e.outsideAfter = Outside(token);
    // The keys the later checks compare, read now: the runs after the repair change them back.
    ReadMerged(token, e.merged);
    if (e.merged.userShown && e.merged.machineShown) {
        report.Line(MergedChanges(e.merged));
    }
    // Windows' own propagation on the twin, from the table key as the repair left it; after the
    // snapshot of the keys outside the trees, which holds the twin.
    auto compare = [&](DWORD flags, const ToolRun& run) {
        Inheritance& compared = e.inheritance.emplace_back(CompareWithWindows(token, flags));
        for (const std::wstring& path : compared.paths) {
            compared.results.push_back(ResultOf(run.output, L"Fix", path));
        }
    };
    compare(CONTAINER_INHERIT_ACE, e.repair);
    e.comeAndGone = ComeAndGone(e.outsideBefore, e.outsideAfter, report);
    e.seconds[0] = watch.Seconds(InTrees(kChain));
    e.seconds[1] = watch.Seconds(InTrees(kSiblings));

    e.checkAfter = runner.Run(L"3-check", L"-check -q");
    e.undoFile = FindFile(e.repair.logFolder, L"*_undo*.txt");
    e.entries = ReadUndoFile(e.undoFile, DocumentTypeKeys).entries;
    e.undo = runner.Run(L"4-undo", L"-undo \"" + e.undoFile + L"\" -q");
    e.restored = Trees(token);

    // The other options: each repair compared with Windows' own answer for it; the trees are
    // then given back what the first of those repairs saved.
    unsigned number = 5;
    std::wstring saved;
    for (const OtherOptions& other : kOtherOptions) {
        const std::wstring name = std::to_wstring(number++) + L"-repair" + other.option;
        const ToolRun run = runner.Run(name, other.option + std::wstring(L" -q"));
        saved = saved.empty() ? FindFile(run.logFolder, L"*_undo*.txt") : saved;
        compare(other.flags, run);
    }
    const ToolRun undo =
        runner.Run(std::to_wstring(number) + L"-undo", L"-undo \"" + saved + L"\" -q");
    if (undo.exitCode != 0) {
        report.Line(runner.UndoHint(saved));
    }
    return e;
}

} // namespace tkr::selftest
