// The runs of the tool on the planted keys, what they leave, and the checks of their outcome: a
// table of named checks, each judged from that evidence alone.
#pragma once

#include "report/undo_format.h"
#include "security/privilege.h"
#include "selftest/evidence.h"
#include "selftest/inheritance.h"

#include <set>
#include <string>
#include <vector>

namespace tkr::selftest {

// The inheritance options besides the default, each a repair of its own (5-repair-i3 ...), the
// trees then given back with the first one's undo file (8-undo).
struct OtherOptions {
    const wchar_t* option;
    DWORD flags;
};
inline constexpr OtherOptions kOtherOptions[] = {{L"-i3", 3}, {L"-i4", 4}, {L"-i5", 8}};

// Everything the checks judge: what the system can show, asked before the tool runs; the tool's
// runs; the trees and the keys around them before and after each.
struct Evidence {
    LSTATUS backupRead = ERROR_SUCCESS; // a key denying READ_CONTROL read under backup
    MergedView merged;
    Snapshot seeded; // the trees once planted
    Snapshot outsideBefore;
    ToolRun checkBefore; // 1-check
    Snapshot checked;
    ToolRun repair; // 2-repair
    Snapshot repaired;
    Snapshot outsideAfter;
    std::set<std::wstring> comeAndGone; // outside keys that appeared or went meanwhile
    ToolRun checkAfter;                 // 3-check
    std::wstring undoFile;              // the repair's
    std::vector<UndoLine> entries;
    ToolRun undo; // 4-undo
    Snapshot restored;
    // The family against Windows' own answer after 2-repair, then after a repair with each of
    // kOtherOptions.
    std::vector<Inheritance> inheritance;
    double seconds[2] = {-1, -1}; // the repair's time for the chain and the siblings
};

// The runs, and what the registry holds around them.
[[nodiscard]] Evidence Gather(Runner& runner, const ProcessToken& token, const Seeds& seeds,
                              Report& report);

// Everything after the seeds are planted: the runs, then each check a line of the report.
void TestTheTool(Runner& runner, const ProcessToken& token, const Seeds& seeds, Report& report);

} // namespace tkr::selftest
