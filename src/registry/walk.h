// The key tree walk: every key of the document-type trees, depth-first and pre-order, each
// reached through its parent's handle and handed to the action of the run's mode.
#pragma once

#include "registry/tree_key.h"

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

// Why the walk passes a key by without handing it to the action: its path is too long to
// address, or it is a registry link.
enum class Skip { PathTooLong, Link };

// What a mode does with each key the walk reaches.
class KeyAction {
  public:
    virtual ~KeyAction() = default;
    // The access the key is pinned with: what the action's first steps need.
    [[nodiscard]] virtual REGSAM PinAccess() const = 0;
    // Whether the action needs each parent's DACL as it left it (TreeKey::ParentSecurity).
    [[nodiscard]] virtual bool UsesParentSecurity() const { return false; }
    // Reports a key the walk has reached, before anything is done with it.
    virtual void Announce(const std::wstring& path) = 0;
    // Reports a key the walk passes by (counted by the walk).
    virtual void Skipped(Skip why) = 0;
    // Handles one announced and pinned key that is neither a link nor too long: shows its
    // result line and returns its outcome.
    virtual Outcome Act(const TreeKey& key) = 0;
};

// Walks each table key and every key below it, announcing each. Links are reported and neither
// handed on nor entered; keys whose path is too long are reported, count as failed, and are not
// entered.
void WalkKeyTrees(KeyAction& action, Tally& tally);
// The same for one tree.
void WalkKeyTree(const wchar_t* root, KeyAction& action, Tally& tally);

// The names of the key's subkeys, in index order. The list is read again while subkeys are
// created or deleted under the read (up to a bound), and what each read saw is merged, so that
// no subkey that exists throughout is missed and none is listed twice.
[[nodiscard]] std::vector<std::wstring> ReadSubkeyNames(HKEY key);

} // namespace tkr
