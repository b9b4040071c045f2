// The checks, one small function each: what it needs from the evidence, what it proves (the
// README's table says the same), and its PASS, FAIL or NOT SHOWN.
#include "selftest/checks.h"

#include "selftest/backup_read.h"
#include "selftest/dacl_compare.h"

#include <algorithm>
#include <cwchar>

namespace tkr::selftest {
namespace {

// The changes between two snapshots of the trees, all keys compared.
std::wstring Changed(const Snapshot& before, const Snapshot& after) {
    return FirstDifference(before, after, [](const std::wstring&) { return false; });
}

bool InTree(const std::wstring& path, const std::wstring& top) {
    return path == top || path.starts_with(top + L"\\");
}

// The first -check left every key as it was, and shows that it looked: exit status 1 and
// NEEDS REPAIR for each seeded key that needs it.
Outcome CheckChangesNothing(const Evidence& e) {
    if (const std::wstring difference = Changed(e.seeded, e.checked); !difference.empty()) {
        return Failed(difference);
    }
    if (const Outcome walked = Found(e.checkBefore, L"NEEDS REPAIR", kNeedRepair);
        walked.kind != Outcome::Pass) {
        return walked;
    }
    return e.checkBefore.exitCode == 1
               ? Passed()
               : Failed(L"exit status " + std::to_wstring(e.checkBefore.exitCode) +
                        L", where keys that need repair give 1");
}

Outcome ForeignKeyRepaired(const Evidence& e) {
    return Repaired(e.repair, e.repaired, {kForeign});
}
Outcome LockedKeyTakenAndEntered(const Evidence& e) {
    return Repaired(e.repair, e.repaired, {kLocked, kLockedChild});
}
Outcome DenyWriteDacRepaired(const Evidence& e) {
    return Repaired(e.repair, e.repaired, {kDenyWriteDac});
}
Outcome DenyReadControlRepaired(const Evidence& e) {
    return Repaired(e.repair, e.repaired, {kDenyReadControl});
}

// Both links reported as links, their own security and the sentinel's unchanged.
Outcome LinksSkipped(const Evidence& e) {
    for (const wchar_t* name : {kLink, kLockedLink}) {
        const std::wstring path = InTrees(name);
        const std::wstring result = ResultOf(e.repair.output, L"Fix", path);
        if (result != kLinkSkipped) {
            return Failed(path + L": the repair said \"" + result + L"\"");
        }
        if (Text(e.seeded, path) != Text(e.repaired, path)) {
            return Failed(path + L": " + Text(e.seeded, path) + L" became " +
                          Text(e.repaired, path));
        }
    }
    const std::wstring difference =
        FirstDifference(e.outsideBefore, e.outsideAfter, [&](const std::wstring& path) {
            return !InTree(path, kSentinel) || e.comeAndGone.count(path) != 0;
        });
    return difference.empty() ? Passed() : Failed(difference);
}

// The twin and every key directly below HKEY_CLASSES_ROOT there before and after, unchanged.
Outcome NothingOutsideWritten(const Evidence& e) {
    const std::wstring difference =
        FirstDifference(e.outsideBefore, e.outsideAfter, [&](const std::wstring& path) {
            return InTree(path, kSentinel) || e.comeAndGone.count(path) != 0;
        });
    return difference.empty() ? Passed() : Failed(difference);
}

// With the default options and each of the others, the family as Windows' own propagation
// leaves its twin.
Outcome InheritedAsWindowsGives(const Evidence& e) {
    for (size_t i = 0; i < e.inheritance.size(); ++i) {
        Outcome outcome = JudgeInheritance(e.inheritance[i]);
        if (outcome.kind != Outcome::Pass) {
            if (i > 0) {
                outcome.text =
                    L"with " + std::wstring(kOtherOptions[i - 1].option) + L": " + outcome.text;
            }
            return outcome;
        }
    }
    return Passed();
}

Outcome MergedViewInherits(const Evidence& e) {
    return JudgeMergedView(e.merged, kMergedTable);
}

// The second -check exits 0, says NEEDS REPAIR of no key, and reached every seeded key with OK.
Outcome CheckAfterFindsOk(const Evidence& e) {
    // "Check "<path>" ...", then its result.
    const std::wstring output = L"\n" + e.checkAfter.output;
    const size_t needs = output.find(L"\nNEEDS REPAIR");
    const size_t start = needs == std::wstring::npos ? needs : output.rfind(L"\nCheck \"", needs);
    if (start != std::wstring::npos) {
        const size_t path = start + 8;
        const size_t end = output.find(L'\n', needs + 1);
        return Failed(output.substr(path, output.rfind(L"\" ...", needs) - path) + L": " +
                      output.substr(needs + 1, end - needs - 1));
    }
    if (const Outcome walked = Found(e.checkAfter, L"OK", kRepairedKeys);
        walked.kind != Outcome::Pass) {
        return walked;
    }
    return e.checkAfter.exitCode == 0
               ? Passed()
               : Failed(L"exit status " + std::to_wstring(e.checkAfter.exitCode));
}

// Each locked key has an undo entry (on any system), read under the backup privilege where the
// system grants that read.
Outcome LockedKeysSaved(const Evidence& e) {
    const std::wstring locked[] = {InTrees(kLocked), InTrees(kDenyReadControl)};
    return JudgeSavedForUndo(e.entries, e.backupRead, locked, e.undoFile);
}

// After the restore every key has what it had before the repair (keys no one could read before,
// and what is below them, left out), and the restore says it restored everything it could.
Outcome RestoredExactly(const Evidence& e) {
    if (e.undoFile.empty()) {
        return Failed(L"the repair left no undo file in \"" + e.repair.logFolder + L"\"");
    }
    std::vector<std::wstring> unseen;
    for (const auto& [path, security] : e.seeded) {
        if (security.starts_with(L"unreadable")) {
            unseen.push_back(path);
        }
    }
    const std::wstring difference =
        FirstDifference(e.seeded, e.restored, [&](const std::wstring& path) {
            return std::ranges::any_of(unseen,
                                       [&](const std::wstring& top) { return InTree(path, top); });
        });
    if (!difference.empty()) {
        return Failed(difference);
    }
    const bool excused = std::ranges::any_of(
        e.entries, [](const UndoLine& entry) { return entry.unreadable != ERROR_SUCCESS; });
    return e.undo.exitCode == 0 || excused
               ? Passed()
               : Failed(L"the restore ended with exit status " + std::to_wstring(e.undo.exitCode));
}

struct Check {
    const wchar_t* name;
    Outcome (*judge)(const Evidence&);
};

// In the report's order; the cleanup's check, judged after the removal, follows them.
constexpr Check kChecks[] = {
    {L"-check changes nothing", CheckChangesNothing},
    {L"a key owned by another account is repaired", ForeignKeyRepaired},
    {L"a key that grants administrators nothing is taken, repaired and entered",
     LockedKeyTakenAndEntered},
    {L"a key whose DACL denies administrators WRITE_DAC is repaired", DenyWriteDacRepaired},
    {L"a key whose DACL denies administrators READ_CONTROL is repaired", DenyReadControlRepaired},
    {L"registry links are skipped, and neither they nor their targets are written", LinksSkipped},
    {L"no key outside the trees is written", NothingOutsideWritten},
    {L"inherited entries are those Windows' own propagation gives", InheritedAsWindowsGives},
    {L"in the merged view, each key inherits from its physical parent", MergedViewInherits},
    {L"-check after the repair finds every key OK", CheckAfterFindsOk},
    {L"keys that deny administrators reading their security are saved for undo", LockedKeysSaved},
    {L"-undo gives every key of the fifteen trees back exactly", RestoredExactly},
};

} // namespace

void TestTheTool(Runner& runner, const ProcessToken& token, const Seeds& seeds, Report& report) {
    const Evidence e = Gather(runner, token, seeds, report);
    for (const Check& check : kChecks) {
        const Outcome outcome = check.judge(e);
        report.Check(check.name, outcome);
        if (check.judge == RestoredExactly && outcome.kind == Outcome::Fail &&
            !e.undoFile.empty()) {
            report.Line(runner.UndoHint(e.undoFile));
        }
    }
    const std::pair<std::wstring, std::wstring> timed[] = {
        {L"the chain " + std::to_wstring(kChainDepth) + L" keys deep", InTrees(kChain)},
        {L"the " + std::to_wstring(kSiblingCount) + L" sibling keys", InTrees(kSiblings)}};
    for (size_t i = 0; i < 2; ++i) {
        wchar_t text[32];
        swprintf(text, 32, L"%.2f s", e.seconds[i]);
        report.Line(L"INFO: the repair took " +
                    std::wstring(e.seconds[i] < 0 ? L"an unknown time" : text) + L" for " +
                    timed[i].first + L" (" + timed[i].second + L")");
    }
}

} // namespace tkr::selftest
