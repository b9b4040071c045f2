// Test support: putting keys below HKEY_CLASSES_ROOT into chosen states and reading them back.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tkrtest {

// Owner and DACL states that tests seed, as SDDL.
// Administrators own it and may do anything: the tool's first write succeeds.
inline constexpr wchar_t kNormalSddl[] = L"O:BAD:P(A;;KA;;;BA)(A;;KA;;;SY)";
// SYSTEM owns it; Administrators may only take ownership: the first write is denied, the
// ownership pass repairs it.
inline constexpr wchar_t kDeniedSddl[] = L"O:SYD:P(A;;WO;;;BA)(A;;KA;;;SY)";
// SYSTEM owns it and alone has access: repaired by taking ownership under Windows' rules (the
// strict server); stock Wine refuses the owner write.
inline constexpr wchar_t kLockedSddl[] = L"O:SYD:P(A;;KA;;;SY)";

// The table keys the tool repairs, in its order.
inline const std::vector<std::wstring> kTableKeys = {L".qk4", L".zor", L".wun", L".bym", L".kaf",
                                                     L".27u", L".gli", L".tov", L".rux", L".mik",
                                                     L".nol", L".ooq", L".lud", L".cwa", L".hib"};

// Moves every existing table key out of the way; returns the first failure, naming its key.
LSTATUS MoveTableKeysAway(std::wstring* failedKey = nullptr);

// Enables a privilege of this process's token; false if the token lacks it.
bool EnablePrivilege(const wchar_t* name);

// Creates the key (and any missing parents, as normal keys) and gives it the owner and DACL.
// Returns a Win32 code.
LSTATUS SeedKey(const std::wstring& path, const wchar_t* sddl = kNormalSddl);
// Creates a registry link at path pointing at target (a path below HKEY_CLASSES_ROOT), and gives
// the link key itself the owner and DACL when sddl is given.
LSTATUS SeedLink(const std::wstring& path, const std::wstring& target,
                 const wchar_t* sddl = nullptr);
// Creates a chain of keys below parent, each opened relative to the one before (so that no full
// path is needed, however long the chain).
LSTATUS SeedChain(const std::wstring& parent, const std::vector<std::wstring>& names);
// Seeds a tree of about `count` keys below root, of mixed fan-out and depth.
LSTATUS SeedTree(const std::wstring& root, unsigned count);
// Seeds the key and count - 1 subkeys directly below it: one folder.
LSTATUS SeedWide(const std::wstring& root, unsigned count);

// "O:..D:..." of the key, or "error N" when it cannot be read.
std::wstring KeySddl(const std::wstring& path);
// The key's owner, group and DACL in a self-relative descriptor. Returns a Win32 code.
LSTATUS ReadKeyDescriptor(const std::wstring& path, std::vector<BYTE>& descriptor);
// A self-relative descriptor from SDDL (empty if it does not convert), and back: the parts
// `info` names, or "error N".
std::vector<BYTE> DescriptorFromSddl(const std::wstring& sddl);
std::wstring SddlOf(const std::vector<BYTE>& descriptor, SECURITY_INFORMATION info);
bool KeyExists(const std::wstring& path);
// Whether the Wine server applies Windows' access rules (the strict server): it refuses an open
// that asks for no access, as Windows does.
bool StrictServer();
// Moves the key and its whole tree out of the way (renamed to a unique name); it is never
// deleted, because keys that tests lock cannot be.
LSTATUS MoveKeyAway(const std::wstring& path);

// The names of the key's subkeys, as it lists them now.
std::vector<std::wstring> SubkeyNames(HKEY key);

// Every key of the machine's and the users' registry (the 64-bit view, links as themselves), each
// with its owner, group and DACL and its values, a line each: the whole registry, to compare. Left
// out is what Wine's own services keep writing, at moments of their choosing after a prefix
// starts: the devices, services and their counters (HKEY_LOCAL_MACHINE\System) and the network
// cards.
std::vector<std::wstring> RegistryDump();

// The two-entry DACL the tool writes, with these inheritance flags, in SDDL as Wine or Windows
// stores it.
bool IsRepairedSddl(const std::wstring& sddl, unsigned inheritanceFlags);

} // namespace tkrtest
