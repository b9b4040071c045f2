// The merged-view check: below a table key that both the user's classes and the machine's hold,
// HKEY_CLASSES_ROOT shows each one's child; the machine's child, repaired through the merged
// view, must inherit from its physical parent (the machine's key), never from the user's.
#pragma once

#include "security/descriptor.h"
#include "security/privilege.h"
#include "selftest/verdict.h"

#include <windows.h>

#include <string>
#include <vector>

namespace tkr::selftest {

// A key in one classes root, opened as `root`.
struct Physical {
    HKEY root;
    std::wstring rootName;
    std::wstring path;
    [[nodiscard]] std::wstring Name() const { return rootName + L"\\" + path; }
};

struct MergedView {
    bool userShown = false; // below the merged table key, the user's child
    bool machineShown = false;
    // The user's table key, its child, the machine's table key, the machine's child.
    std::vector<Physical> physical;
    std::vector<std::wstring> before; // their security, before the repair and after it
    std::vector<std::wstring> after;
    LSTATUS read = ERROR_SUCCESS; // of the machine's child and its parent, after the repair
    Bytes child;
    Bytes parent;
};

// Before the repair: what HKEY_CLASSES_ROOT shows below `table`, and the physical keys.
[[nodiscard]] MergedView ShowMerged(const ProcessToken& token, std::vector<Physical> physical,
                                    const std::wstring& table, const std::wstring& userChild,
                                    const std::wstring& machineChild);
// After the repair: the physical keys read again.
void ReadMerged(const ProcessToken& token, MergedView& view);
// The INFO line of which of the physical keys the repair changed.
[[nodiscard]] std::wstring MergedChanges(const MergedView& view);

[[nodiscard]] Outcome JudgeMergedView(const MergedView& view, const std::wstring& table);

} // namespace tkr::selftest
