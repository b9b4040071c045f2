// A key in the trees, reached only through its parent's handle: no key is ever looked up by its
// full path, and none is opened in a way that follows a registry link. A link swapped in for a
// key at any moment can then receive nothing but a write to the link key itself, which the check
// on each handle refuses.
#pragma once

#include "platform/unique.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace tkr {

// An open that reached a registry link (or a key that could not be told from one): a state of the
// tool's own, with the customer bit (29) that no Windows error code has.
inline constexpr LSTATUS kRegistryLink = static_cast<LSTATUS>(0x20000001);

// The longest key path the tool handles: "CLASSES_ROOT\" and the path together must fit in the
// units a registry name can have.
inline constexpr size_t kMaxRegistryNameLength = 32766;
inline constexpr size_t kMaxKeyPathLength =
    kMaxRegistryNameLength - std::char_traits<wchar_t>::length(L"CLASSES_ROOT\\");

// The access that reaches a key whatever its DACL, with the security privilege on (as it is
// while a run reads or changes keys): enough to ask the name of the key a handle holds, and for
// nothing else the tool does.
inline constexpr REGSAM kNameAccess = ACCESS_SYSTEM_SECURITY;

// Reads the parts `info` names of the key's security descriptor, self-relative.
[[nodiscard]] LSTATUS ReadKeySecurity(HKEY key, SECURITY_INFORMATION info,
                                      std::vector<BYTE>& descriptor);

// Opens the parent of the key at `path` as the walk reaches it: each key on the way through the
// one above it, as itself, and checked. `parent` gets none for a table key (HKEY_CLASSES_ROOT's
// child). Returns as TreeKey::Open does.
[[nodiscard]] LSTATUS OpenParentOf(const std::wstring& path, UniqueKey& parent);

class TreeKey {
  public:
    // The key `name` below `parent`; `path`, its path below HKEY_CLASSES_ROOT, for the lines and
    // the undo file; `parentSecurity`, the parent's DACL as the run leaves it, where the run
    // changes the parent and could read it.
    TreeKey(HKEY parent, std::wstring name, std::wstring path,
            std::shared_ptr<const std::vector<BYTE>> parentSecurity = nullptr)
        : parent_(parent), name_(std::move(name)), path_(std::move(path)),
          parentSecurity_(std::move(parentSecurity)) {}

    [[nodiscard]] const std::wstring& Path() const { return path_; }
    [[nodiscard]] const std::vector<BYTE>* ParentSecurity() const { return parentSecurity_.get(); }

    // Opens the key itself (never what a link names) with `access` and `options` besides
    // REG_OPTION_OPEN_LINK, and checks the object opened. Returns ERROR_SUCCESS, kRegistryLink
    // (the object is a link, or whether it is one cannot be told), or the open's error.
    [[nodiscard]] LSTATUS Open(REGSAM access, UniqueKey& key, DWORD options = 0) const;

    // Pins the key: a handle to the object checked, with `access`, or with kNameAccess when that
    // is denied. Returns as Open does.
    [[nodiscard]] LSTATUS Pin(REGSAM access);

    // Returns use(HKEY) with a handle to the key itself holding `access`: the pinned one if it
    // does, otherwise one opened afresh and checked (or the open's error).
    template <typename Use> [[nodiscard]] LSTATUS With(REGSAM access, Use&& use) const {
        if (pinned_ && (granted_ & access) == access) {
            return use(pinned_.get());
        }
        UniqueKey key;
        const LSTATUS status = Open(access, key);
        return status != ERROR_SUCCESS ? status : use(key.get());
    }

  private:
    [[nodiscard]] bool ResolvesToItself(HKEY key) const;

    HKEY parent_;
    std::wstring name_;
    std::wstring path_;
    std::shared_ptr<const std::vector<BYTE>> parentSecurity_;
    UniqueKey pinned_;
    REGSAM granted_ = 0;
};

} // namespace tkr
