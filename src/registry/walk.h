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
    void Add(Outcome outcome, unsigned count = 1) { counts[static_cast<size_t>(outcome)] += count; }
    [[nodiscard]] unsigned operator[](Outcome outcome) const {
        return counts[static_cast<size_t>(outcome)];
    }
};

// Why the walk passes a key by without handing it to the action: its path is too long to
// address, it is a registry link, or its name is one the registry functions cannot open (empty,
// holding a null, longer than 255 units); or why keys below one it handled are not reached: their
// list cannot be read (with the error), or some of their names cannot be (with their count).
enum class Skip { PathTooLong, Link, Name, Subkeys, SubkeyNames };

// The keys a walk pins and prepares at once: few handles held at a time, one commit for many
// keys.
inline constexpr size_t kGroupSize = 64;

// What a mode does with each key the walk reaches.
class KeyAction {
  public:
    virtual ~KeyAction() = default;
    // The access the key is pinned with: what the action's first steps need.
    [[nodiscard]] virtual REGSAM PinAccess() const = 0;
    // Whether the action needs each parent's DACL as it left it (TreeKey::ParentSecurity).
    [[nodiscard]] virtual bool UsesParentSecurity() const { return false; }
    // Whether a key the walk can enter before Act can still be entered after it (the action
    // leaves no key less open to administrators than it found it): then the keys below it may
    // join its group, reached before it changes.
    [[nodiscard]] virtual bool EntersAhead() const { return false; }
    // Reads and keeps what the action needs of a pinned key before any key of its group changes
    // (the keys the walk visits next, up to kGroupSize): called for each key of the group, in
    // order, before Commit and before any of them is announced.
    virtual void Prepare(const TreeKey&) {}
    // Makes what Prepare kept for the group durable before its keys change.
    virtual void Commit() {}
    // Reports a key the walk has reached, before anything is done with it.
    virtual void Announce(const std::wstring& path) = 0;
    // Reports a key the walk passes by, or keys below one that it cannot reach (counted by the
    // walk); `detail` is the error or the count the reason has.
    virtual void Skipped(Skip why, DWORD detail = 0) = 0;
    // Handles one announced, pinned and prepared key that is neither a link nor too long: shows
    // its result line and returns its outcome.
    virtual Outcome Act(const TreeKey& key) = 0;
};

// Walks each table key and every key below it, announcing each. Links are reported and neither
// handed on nor entered; keys whose path is too long are reported, count as failed, and are not
// entered.
void WalkKeyTrees(KeyAction& action, Tally& tally);
// The same for one tree.
void WalkKeyTree(const wchar_t* root, KeyAction& action, Tally& tally);

// The names of a key's subkeys, in index order, as a walk reads them.
struct SubkeyList {
    std::vector<std::wstring> names; // every name read, also those no path can hold
    LSTATUS status = ERROR_SUCCESS;  // why the list could not be read; ERROR_SUCCESS: it was
    unsigned unreadable = 0;         // names that could not be read at all
};

// Reads the list of the key's subkeys. The list is read again while subkeys are created or
// deleted under the read (up to a bound), and what each read saw is merged, so that no subkey
// that exists throughout is missed and none is listed twice. A key deleted meanwhile has none.
[[nodiscard]] SubkeyList ReadSubkeyList(HKEY key);
// The names of the list that a path can hold.
[[nodiscard]] std::vector<std::wstring> ReadSubkeyNames(HKEY key);
// Whether a name read from the registry can be a component of a path the registry functions open:
// not empty, no null, at most 255 units.
[[nodiscard]] bool IsOpenableName(const std::wstring& name);

} // namespace tkr
