// The self-test's own hands on the registry: its seeds made and removed, and the security of the
// trees read, each key opened through the handle above it as itself, never through a link.
#pragma once

#include "platform/unique.h"
#include "security/privilege.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace tkr::selftest {

// A path below another: "a\\b".
[[nodiscard]] inline std::wstring Join(const std::wstring& a, const std::wstring& b) {
    return a + L"\\" + b;
}

// Opens `name` below `parent` as itself (a link as the link key). Where the DACL refuses the
// access, tries again under the backup privilege when `token` is given.
[[nodiscard]] LSTATUS OpenAsItself(HKEY parent, const std::wstring& name, REGSAM access,
                                   UniqueKey& key, const ProcessToken* token = nullptr);
// For OpenPath: the key opened with any right it grants administrators (checked as every key on
// the way is), for a handle to open its subkeys through.
inline constexpr REGSAM kAnyRight = 0;
// Opens a path of names separated by backslashes, each through the one above it, as itself and
// checked to be no link.
[[nodiscard]] LSTATUS OpenPath(HKEY root, const std::wstring& path, REGSAM access, UniqueKey& key,
                               const ProcessToken* token = nullptr);
// Whether the key holds a link target; a key whose answer is anything but "no such value" is
// taken for one.
[[nodiscard]] bool MayBeLink(HKEY key);

// Owner and DACL (with its flags) as SDDL, "unreadable N" where they cannot be read.
[[nodiscard]] std::wstring SecurityText(HKEY key);
// The same for the key at `path` below `root`, read under the backup privilege where needed;
// "not present" for a key that does not exist.
[[nodiscard]] std::wstring SecurityTextAt(HKEY root, const std::wstring& path,
                                          const ProcessToken& token);

// Owner, group and DACL of the key at the path below root.
[[nodiscard]] LSTATUS ReadDescriptorAt(HKEY root, const std::wstring& path,
                                       const ProcessToken& token, std::vector<BYTE>& descriptor);
[[nodiscard]] bool HasInheritedEntry(const std::vector<BYTE>& descriptor);

// The security of every key of a set of trees, by path, as the registry shows them. A link is
// recorded as itself and not entered; a key that cannot be read is recorded as unreadable.
using Snapshot = std::map<std::wstring, std::wstring>;
[[nodiscard]] Snapshot TakeSnapshot(HKEY root, const std::wstring& path, const ProcessToken& token);
void AddSnapshot(Snapshot& into, const Snapshot& from);
// The first difference of two snapshots ("<path>: <before> became <after>"), empty if none;
// paths that `skip` accepts are left out.
template <typename Skip>
std::wstring FirstDifference(const Snapshot& before, const Snapshot& after, Skip&& skip) {
    auto text = [](const Snapshot& s, const std::wstring& path) {
        const auto found = s.find(path);
        return found == s.end() ? std::wstring(L"not present") : found->second;
    };
    Snapshot paths = before;
    paths.insert(after.begin(), after.end());
    for (const auto& [path, unused] : paths) {
        if (!skip(path) && text(before, path) != text(after, path)) {
            return path + L": " + text(before, path) + L" became " + text(after, path);
        }
    }
    return L"";
}

// Creates `name` below `parent` (opened as itself where it exists); `created` says which.
[[nodiscard]] LSTATUS CreateKey(HKEY parent, const std::wstring& name, UniqueKey& key,
                                bool* created = nullptr);
// Writes the owner (if the SDDL has one) and the DACL, protection included.
[[nodiscard]] LSTATUS SetSddl(HKEY key, const wchar_t* sddl);
// Creates a registry link `name` below `parent` to the key of the native name `target`.
[[nodiscard]] LSTATUS CreateLink(HKEY parent, const std::wstring& name, const std::wstring& target,
                                 UniqueKey& key);
// Deletes the key and everything below it, a link as the link key; takes a key that refuses
// administrators (ownership first). ERROR_SUCCESS also when it was not there.
[[nodiscard]] LSTATUS RemoveTree(HKEY parent, const std::wstring& name, const ProcessToken& token);

} // namespace tkr::selftest
