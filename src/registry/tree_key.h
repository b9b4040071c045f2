// A key in the trees, reached only through its parent's handle: no key is ever looked up by its
// full path, and none is opened in a way that follows a registry link. A link swapped in for a
// key at any moment can then receive nothing but a write to the link key itself, which the check
// on each handle refuses.
#pragma once

#include "platform/unique.h"
#include "registry/key_limits.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace tkr {

// An open that reached a registry link (or a key that could not be told from one): a state of the
// tool's own, with the customer bit (29) that no Windows error code has.
inline constexpr LSTATUS kRegistryLink = static_cast<LSTATUS>(0x20000001);

// The access that reaches a key whatever its DACL, with the security privilege on (as it is
// while a run reads or changes keys): enough to ask the name of the key a handle holds, and for
// nothing else the tool does.
inline constexpr REGSAM kNameAccess = ACCESS_SYSTEM_SECURITY;

// Reads the parts `info` names of the key's security descriptor, self-relative.
[[nodiscard]] LSTATUS ReadKeySecurity(HKEY key, SECURITY_INFORMATION info,
                                      std::vector<BYTE>& descriptor);

// The two keys HKEY_CLASSES_ROOT shows merged, by the full names their handles give: the
// machine's classes and the running user's own, each a key's physical root.
struct ClassesRoots {
    std::wstring machine = L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes";
    std::wstring user; // "\REGISTRY\USER\<SID>_Classes"; empty when the token cannot tell
    // The root of the two that `fullName` names `path` below (the root, a backslash and the
    // path), or null.
    [[nodiscard]] const std::wstring* RootOf(const std::wstring& fullName,
                                             const std::wstring& path) const;
};

// The classes roots of this process: the user's built from its token's user SID (never found
// through a link, which the user's own hive could hold).
[[nodiscard]] ClassesRoots ReadClassesRoots();

// The keys above keys reached by their full names (a restore's entries, the physical parents of
// keys a merged view shows), each opened from the registry's root of the machine's or the users'
// keys, through the one above it, as itself, checked, in the 64-bit view (the names are the
// registry's own). Those opened for one name are kept for the next, so that entries that share
// the keys above them (a tree, newest first) do not open them again: a kept handle still holds
// the key it was checked as, as the walk's do.
class KeysAbove {
  public:
    // Opens (or keeps) the keys above the key of `fullName`. `parent` gets the one right above
    // it, `parentName` its full name. Returns as TreeKey::Open does; ERROR_FILE_NOT_FOUND for a
    // name under no such root.
    [[nodiscard]] LSTATUS Open(const std::wstring& fullName, HKEY& parent,
                               std::wstring& parentName);

  private:
    struct Opened {
        std::wstring name;
        UniqueKey key;
        std::wstring fullName;
    };
    std::wstring hive_;
    std::vector<Opened> opened_; // from the hive's first key down
};

// Opens the key of a full name as KeysAbove reaches its parent, with `access`.
[[nodiscard]] LSTATUS OpenByFullName(const std::wstring& fullName, REGSAM access, UniqueKey& key);

// The last component of a full name or path.
[[nodiscard]] std::wstring LastComponent(const std::wstring& name);

// Whether two registry names are the same, as the registry compares them (case-insensitively).
[[nodiscard]] bool SameRegistryName(const std::wstring& a, const std::wstring& b);

// The full name (as the native call gives it) of the key a handle refers to; empty if it cannot
// be had.
[[nodiscard]] std::wstring FullKeyName(HKEY key);

class TreeKey {
  public:
    // The key `name` below `parent`, whose object has the full name `parentName` (empty for a
    // table key, HKEY_CLASSES_ROOT's child); `path`, its path below HKEY_CLASSES_ROOT, for the
    // lines and the undo file; `parentSecurity`, the parent's DACL as the run leaves it, where
    // the run changes the parent and could read it. With `roots`, the key is one of the merged
    // view (reached from HKEY_CLASSES_ROOT) and may be of either classes root; without, it is
    // reached below a physical root and must be its parent's own child, in the 64-bit view.
    TreeKey(HKEY parent, std::wstring parentName, std::wstring name, std::wstring path,
            std::shared_ptr<const std::vector<BYTE>> parentSecurity = nullptr,
            const ClassesRoots* roots = nullptr)
        : parent_(parent), parentName_(std::move(parentName)), name_(std::move(name)),
          path_(std::move(path)), parentSecurity_(std::move(parentSecurity)), roots_(roots),
          view_(roots != nullptr ? 0 : KEY_WOW64_64KEY) {}

    [[nodiscard]] const std::wstring& Path() const { return path_; }
    [[nodiscard]] const std::vector<BYTE>* ParentSecurity() const { return parentSecurity_.get(); }
    // Why the DACL the key inherits from cannot be known (ERROR_SUCCESS: it can).
    [[nodiscard]] DWORD ParentSecurityError() const { return parentSecurityError_; }
    // The full name of the key as its check found it: once pinned, the key's identity.
    [[nodiscard]] const std::wstring& FullName() const { return fullName_; }
    // The full name of the key it inherits from where that is not its walk parent: a classes
    // root for a table key, or, where a merged view showed the key below a parent of the other
    // root, the key of its own root above it. Empty otherwise.
    [[nodiscard]] const std::wstring& PhysicalParent() const { return physicalParent_; }
    // The key inherits from `security` (its physical parent's DACL), or, where that could not be
    // read, cannot be written (`error`).
    void InheritFrom(std::shared_ptr<const std::vector<BYTE>> security, DWORD error) {
        parentSecurity_ = std::move(security);
        parentSecurityError_ = error;
    }

    // A handle to the key with `access` and `options` besides REG_OPTION_OPEN_LINK. Before the
    // pin: the key itself opened through its parent (never what a link names), checked: no link,
    // and its parent's own child (or, in the merged view, the same path's key of a classes
    // root). Once pinned: opened afresh through the pinned handle, and refused unless it names
    // the pinned key, so that no later handle reaches another key of the path: the key pinned is
    // then gone (ERROR_FILE_NOT_FOUND).
    // Returns ERROR_SUCCESS, kRegistryLink (the object is a link, or was reached through one, or
    // whether it is one cannot be told), or the open's error.
    [[nodiscard]] LSTATUS Open(REGSAM access, UniqueKey& key, DWORD options = 0) const;

    // Pins the key: a handle to the object checked, with `access`, or with kNameAccess when that
    // is denied. Returns as Open does.
    [[nodiscard]] LSTATUS Pin(REGSAM access);

    // Returns use(HKEY) with a handle to the key itself holding `access`: the pinned one if it
    // does, otherwise one opened afresh (Open).
    // A key deleted since it was pinned is not present: ERROR_FILE_NOT_FOUND.
    template <typename Use> [[nodiscard]] LSTATUS With(REGSAM access, Use&& use) const {
        if (pinned_ && (granted_ & access) == access) {
            return Present(use(pinned_.get()));
        }
        UniqueKey key;
        const LSTATUS status = Open(access, key);
        return status != ERROR_SUCCESS ? status : Present(use(key.get()));
    }

  private:
    [[nodiscard]] static LSTATUS Present(LSTATUS status) {
        return status == ERROR_KEY_DELETED ? ERROR_FILE_NOT_FOUND : status;
    }
    [[nodiscard]] LSTATUS OpenChecked(REGSAM access, UniqueKey& key, DWORD options) const;
    [[nodiscard]] bool ResolvesToItself(HKEY key) const;
    [[nodiscard]] bool IsInPlace(HKEY key) const;

    HKEY parent_;
    std::wstring parentName_;
    std::wstring name_;
    std::wstring path_;
    std::shared_ptr<const std::vector<BYTE>> parentSecurity_;
    const ClassesRoots* roots_;
    REGSAM view_;
    DWORD parentSecurityError_ = ERROR_SUCCESS;
    UniqueKey pinned_;
    REGSAM granted_ = 0;
    mutable std::wstring fullName_;
    mutable std::wstring physicalParent_;
};

} // namespace tkr
