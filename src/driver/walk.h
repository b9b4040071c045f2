// The key tree walk: every key of the document-type trees, depth-first and pre-order, each
// reached through its parent's handle and handed to the action of the run's mode.
#pragma once

#include "registry/tree_key.h"
#include "report/run_log.h"

#include <windows.h>

#include <array>
#include <string>
#include <vector>

namespace tkr {

// The extension keys under HKEY_CLASSES_ROOT whose trees are walked, in order.
extern const std::array<const wchar_t*, 15> DocumentTypeKeys;

// What became of one key, for a run's summary and exit status.
enum class Outcome { Done, Failed, Link, NotPresent };

struct Tally {
    std::array<unsigned, 4> counts{};
    void Add(Outcome outcome) { ++counts[static_cast<size_t>(outcome)]; }
    [[nodiscard]] unsigned operator[](Outcome outcome) const {
        return counts[static_cast<size_t>(outcome)];
    }
};

// What a mode does with each key the walk reaches.
class KeyAction {
  public:
    virtual ~KeyAction() = default;
    // The announcement's first word: "<Verb> \"<path>\" ...".
    [[nodiscard]] virtual const wchar_t* Verb() const = 0;
    // The access the key is pinned with: what the action's first steps need.
    [[nodiscard]] virtual REGSAM PinAccess() const = 0;
    // Handles one announced and pinned key that is neither a link nor too long: shows its
    // result line and returns its outcome.
    virtual Outcome Act(const TreeKey& key) = 0;
};

// The announcement of a key, on the console and in the log: "<verb> "<path>" ...".
void AnnounceKey(const RunLog& log, const wchar_t* verb, const std::wstring& path);
// Reports and counts a key whose open reached a registry link; returns whether it did.
bool SkippedAsLink(const RunLog& log, LSTATUS status, Tally& tally);

// Walks each table key and every key below it, announcing each. Links are reported and neither
// handed on nor entered; keys whose path is too long are reported, count as failed, and are not
// entered.
void WalkKeyTrees(KeyAction& action, const RunLog& log, Tally& tally);
// The same for one tree.
void WalkKeyTree(const wchar_t* root, KeyAction& action, const RunLog& log, Tally& tally);

// The names of the key's subkeys, in index order. The list is read again while subkeys are
// created or deleted under the read (up to a bound), and what each read saw is merged, so that
// no subkey that exists throughout is missed and none is listed twice.
std::vector<std::wstring> ReadSubkeyNames(HKEY key);

} // namespace tkr
