// The evidence the self-test's checks rest on: the trees and the keys around them as the registry
// shows them, and what a repaired key must look like.
#pragma once

#include "security/descriptor.h"
#include "security/privilege.h"
#include "selftest/merged_view.h"
#include "selftest/registry_state.h"
#include "selftest/seeds.h"
#include "selftest/tool_runs.h"
#include "selftest/verdict.h"

#include <windows.h>

#include <initializer_list>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace tkr::selftest {

inline constexpr wchar_t kLinkSkipped[] = L"SKIPPED: registry link, not followed";

// The path below HKEY_CLASSES_ROOT of a seeded key below kScratch.
[[nodiscard]] std::wstring InTrees(const std::wstring& path);
// A key's security in a snapshot, or "not present".
[[nodiscard]] std::wstring Text(const Snapshot& snapshot, const std::wstring& path);
// The fifteen trees as HKEY_CLASSES_ROOT shows them.
[[nodiscard]] Snapshot Trees(const ProcessToken& token);
// Keys outside the trees that a faulty tool could reach: the seeded sentinel and twin, and every
// other key directly below HKEY_CLASSES_ROOT.
[[nodiscard]] Snapshot Outside(const ProcessToken& token);
// The keys outside the trees (but the self-test's sentinel and twin) present in one snapshot and
// not in the other: Windows' own activity adds and removes keys below HKEY_CLASSES_ROOT at any
// moment. Each set is named in an INFO line.
[[nodiscard]] std::set<std::wstring> ComeAndGone(const Snapshot& before, const Snapshot& after,
                                                 Report& report);
// The seeded keys a check before the repair must find needing it, and those every run after the
// repair must find repaired (below kScratch).
inline constexpr const wchar_t* kNeedRepair[] = {kForeign, kLocked, kDenyWriteDac,
                                                 kDenyReadControl};
inline constexpr const wchar_t* kRepairedKeys[] = {kForeign, kLocked, kLockedChild, kDenyWriteDac,
                                                   kDenyReadControl};
// That a -check run announced each of these seeded keys and said `result` (or began with it).
[[nodiscard]] Outcome Found(const ToolRun& check, const std::wstring& result,
                            std::span<const wchar_t* const> paths);
// The checks of one key the repair must have taken: each named key repaired, none taken for a
// link.
[[nodiscard]] Outcome Repaired(const ToolRun& repair, const Snapshot& after,
                               std::initializer_list<const wchar_t*> paths);

// The user's merged table key and its child, the machine's and its child.
[[nodiscard]] std::vector<Physical> MergedKeys(const Seeds& seeds);

} // namespace tkr::selftest
