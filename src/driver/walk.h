// The key tree walk: every key of a tree, depth-first and pre-order, each handed to the action of
// the run's mode (repair or check).
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <vector>

namespace tkr {

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
    // The announcement's first word: "Fix \"<path>\" ...".
    [[nodiscard]] virtual const wchar_t* Verb() const = 0;
    // Handles one announced key that is neither a link nor too long: shows its result line and
    // returns its outcome. objectName is "CLASSES_ROOT\<path>".
    virtual Outcome Act(const std::wstring& path, std::wstring objectName) = 0;
};

inline constexpr wchar_t kLinkSkipped[] = L"SKIPPED: registry link, not followed";
inline constexpr wchar_t kPathTooLong[] = L"SKIPPED: key path too long";

// Walks the key (relative to HKEY_CLASSES_ROOT) and every key below it, announcing each. Links
// are reported and neither handed on nor entered; keys whose path is too long are reported,
// count as failed, and are not entered.
void WalkKeyTree(const std::wstring& root, KeyAction& action, Tally& tally);

// Whether the key is a registry symbolic link. A key whose status cannot be determined counts as
// one; a key that does not exist does not.
bool IsRegistryLink(const std::wstring& keyPath);

// The names of the key's subkeys, in index order. The list is read again while subkeys are
// created or deleted under the read (up to a bound), and what each read saw is merged, so that
// no subkey that exists throughout is missed and none is listed twice.
std::vector<std::wstring> ReadSubkeyNames(HKEY key);

} // namespace tkr
