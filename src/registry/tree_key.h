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

// The keys above keys reached by their paths (a restore's entries), each opened as the walk
// reaches it: through the one above it, as itself, and checked. Those opened for one path are kept
// for the next, so that entries that share the keys above them (a tree, newest first) do not open
// them again, each from HKEY_CLASSES_ROOT down: a kept handle still holds the key it was checked
// as, as the walk's do.
class KeysAbove {
  public:
    // Opens (or keeps) the keys above the key at `path`. `parent` gets the one right above it
    // (null for a table key, HKEY_CLASSES_ROOT's child), `parentName` its full name. Returns as
    // TreeKey::Open does.
    [[nodiscard]] LSTATUS Open(const std::wstring& path, HKEY& parent, std::wstring& parentName);

  private:
    struct Opened {
        std::wstring name;
        UniqueKey key;
        std::wstring fullName;
    };
    std::vector<Opened> opened_; // from the table key down
};

// Opens the key of a full name (as FullKeyName gives it) below the registry's root of the
// machine's or the users' keys, each component through the handle above it as itself, checked.
// Returns as TreeKey::Open does; ERROR_FILE_NOT_FOUND for a name under no such root.
[[nodiscard]] LSTATUS OpenByFullName(const std::wstring& fullName, REGSAM access, UniqueKey& key);

// Whether two registry names are the same, as the registry compares them (case-insensitively).
[[nodiscard]] bool SameRegistryName(const std::wstring& a, const std::wstring& b);

// The full name (as the native call gives it) of the key a handle refers to; empty if it cannot
// be had.
[[nodiscard]] std::wstring FullKeyName(HKEY key);

class TreeKey {
  public:
    // The key `name` below `parent`, whose object has the full name `parentName` (empty for a
    // table key, HKEY_CLASSES_ROOT's child, reached in one step); `path`, its path below
    // HKEY_CLASSES_ROOT, for the lines and the undo file; `parentSecurity`, the parent's DACL as
    // the run leaves it, where the run changes the parent and could read it.
    TreeKey(HKEY parent, std::wstring parentName, std::wstring name, std::wstring path,
            std::shared_ptr<const std::vector<BYTE>> parentSecurity = nullptr)
        : parent_(parent), parentName_(std::move(parentName)), name_(std::move(name)),
          path_(std::move(path)), parentSecurity_(std::move(parentSecurity)) {}

    [[nodiscard]] const std::wstring& Path() const { return path_; }
    [[nodiscard]] const std::vector<BYTE>* ParentSecurity() const { return parentSecurity_.get(); }
    // Why the DACL the key inherits from cannot be known (ERROR_SUCCESS: it can).
    [[nodiscard]] DWORD ParentSecurityError() const { return parentSecurityError_; }
    // The full name of the key as its last check found it.
    [[nodiscard]] const std::wstring& FullName() const { return fullName_; }
    // Where a merged view showed the key below a parent of the other hive: the full name of its
    // physical parent, the key it inherits from. Empty otherwise.
    [[nodiscard]] const std::wstring& PhysicalParent() const { return physicalParent_; }
    // The key inherits from `security` (its physical parent's DACL), or, where that could not be
    // read, cannot be written (`error`).
    void InheritFrom(std::shared_ptr<const std::vector<BYTE>> security, DWORD error) {
        parentSecurity_ = std::move(security);
        parentSecurityError_ = error;
    }

    // Opens the key itself (never what a link names) with `access` and `options` besides
    // REG_OPTION_OPEN_LINK, and checks the object opened: no link, and the parent's own child
    // (or, in a merged view, the same path's key of the other hive). Returns ERROR_SUCCESS,
    // kRegistryLink (the object is a link, or was reached through one, or whether it is one cannot
    // be told), or the open's error.
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
    [[nodiscard]] bool IsInPlace(HKEY key) const;

    HKEY parent_;
    std::wstring parentName_;
    std::wstring name_;
    std::wstring path_;
    std::shared_ptr<const std::vector<BYTE>> parentSecurity_;
    DWORD parentSecurityError_ = ERROR_SUCCESS;
    UniqueKey pinned_;
    REGSAM granted_ = 0;
    mutable std::wstring fullName_;
    mutable std::wstring physicalParent_;
};

} // namespace tkr
