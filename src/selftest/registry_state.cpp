#include "selftest/registry_state.h"

#include "platform/win_api.h"
#include "registry/tree_key.h"
#include "registry/walk.h"
#include "security/descriptor.h"

#include <sddl.h>
#include <winternl.h>

#include <vector>

namespace tkr::selftest {

LSTATUS OpenAsItself(HKEY parent, const std::wstring& name, REGSAM access, UniqueKey& key,
                     const ProcessToken* token) {
    LSTATUS status =
        win::RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access, key.put());
    if (status == ERROR_ACCESS_DENIED && token) {
        const ScopedPrivilege backup = ScopedPrivilege::Enable(*token, Privilege::Backup);
        const LSTATUS again =
            win::RegOpenKeyExW(parent, name.c_str(),
                               REG_OPTION_OPEN_LINK | REG_OPTION_BACKUP_RESTORE, access, key.put());
        if (again == ERROR_SUCCESS) {
            status = again;
        }
    }
    return status;
}

namespace {

// Whether the key opened as itself through `parent` with `right` is a link (or cannot be told
// from one): an open that follows its name with the same right reaches a key of another name.
// For keys whose DACL denies reading their values, in a tree in the state the tool repairs.
bool FollowsElsewhere(HKEY parent, const std::wstring& name, HKEY key, REGSAM right) {
    UniqueKey followed;
    return win::RegOpenKeyExW(parent, name.c_str(), 0, right, followed.put()) != ERROR_SUCCESS ||
           !SameRegistryName(FullKeyName(key), FullKeyName(followed.get()));
}

// Opens a key on the way to another as itself, with a right it grants administrators, checked
// to be no link.
LSTATUS OpenStep(HKEY parent, const std::wstring& name, UniqueKey& key, const ProcessToken* token) {
    LSTATUS status = OpenAsItself(parent, name, KEY_QUERY_VALUE, key, token);
    if (status == ERROR_SUCCESS) {
        return MayBeLink(key.get()) ? kRegistryLink : ERROR_SUCCESS;
    }
    for (const REGSAM right :
         {REGSAM{KEY_ENUMERATE_SUB_KEYS}, REGSAM{KEY_CREATE_SUB_KEY}, REGSAM{READ_CONTROL}}) {
        if (status == ERROR_ACCESS_DENIED) {
            status = OpenAsItself(parent, name, right, key, token);
            if (status == ERROR_SUCCESS && FollowsElsewhere(parent, name, key.get(), right)) {
                status = kRegistryLink;
            }
        }
    }
    return status;
}

} // namespace

LSTATUS OpenPath(HKEY root, const std::wstring& path, REGSAM access, UniqueKey& key,
                 const ProcessToken* token) {
    UniqueKey above;
    HKEY parent = root;
    for (size_t start = 0;;) {
        const size_t end = path.find(L'\\', start);
        const std::wstring name = path.substr(start, end - start);
        if (end == std::wstring::npos) {
            return access == kAnyRight ? OpenStep(parent, name, key, token)
                                       : OpenAsItself(parent, name, access, key, token);
        }
        UniqueKey next;
        if (const LSTATUS status = OpenStep(parent, name, next, token)) {
            return status;
        }
        above = std::move(next);
        parent = above.get();
        start = end + 1;
    }
}

bool MayBeLink(HKEY key) {
    DWORD type = 0;
    return win::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) !=
           ERROR_FILE_NOT_FOUND;
}

std::wstring SecurityText(HKEY key) {
    std::vector<BYTE> descriptor;
    const LSTATUS status =
        ReadKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
    LPWSTR text = nullptr;
    if (status != ERROR_SUCCESS) {
        return L"unreadable " + std::to_wstring(status);
    }
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.data(), SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"unreadable " + std::to_wstring(::GetLastError());
    }
    const UniqueLocalText owned(text);
    return text;
}

std::wstring SecurityTextAt(HKEY root, const std::wstring& path, const ProcessToken& token) {
    UniqueKey key;
    const LSTATUS status =
        root ? OpenPath(root, path, READ_CONTROL, key, &token) : ERROR_FILE_NOT_FOUND;
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED) {
        return L"not present";
    }
    return status == ERROR_SUCCESS ? SecurityText(key.get())
                                   : L"unreadable " + std::to_wstring(status);
}

namespace {

void Visit(HKEY parent, const std::wstring& name, const std::wstring& path,
           const ProcessToken& token, Snapshot& snapshot) {
    UniqueKey key;
    constexpr REGSAM kWalk = READ_CONTROL | KEY_ENUMERATE_SUB_KEYS;
    LSTATUS status = OpenAsItself(parent, name, kWalk | KEY_QUERY_VALUE, key, &token);
    bool link = status == ERROR_SUCCESS && MayBeLink(key.get());
    if (status == ERROR_ACCESS_DENIED) {
        // A key that denies reading its values may still be walked.
        status = OpenAsItself(parent, name, kWalk, key, &token);
        link = status == ERROR_SUCCESS && FollowsElsewhere(parent, name, key.get(), kWalk);
    }
    if (status == ERROR_ACCESS_DENIED) {
        // Its security may still be readable where its subkeys are not.
        status = OpenAsItself(parent, name, READ_CONTROL, key, &token);
        snapshot[path] = status == ERROR_SUCCESS ? SecurityText(key.get())
                                                 : L"unreadable " + std::to_wstring(status);
        return;
    }
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND) {
            snapshot[path] = L"unreadable " + std::to_wstring(status);
        }
        return;
    }
    if (link) {
        snapshot[path] = SecurityText(key.get()) + L" (registry link)";
        return;
    }
    snapshot[path] = SecurityText(key.get());
    for (const std::wstring& child : ReadSubkeyNames(key.get())) {
        Visit(key.get(), child, path + L"\\" + child, token, snapshot);
    }
}

} // namespace

Snapshot TakeSnapshot(HKEY root, const std::wstring& path, const ProcessToken& token) {
    Snapshot snapshot;
    const size_t last = path.rfind(L'\\');
    UniqueKey parent;
    if (last == std::wstring::npos) {
        Visit(root, path, path, token, snapshot);
    } else if (OpenPath(root, path.substr(0, last), KEY_QUERY_VALUE, parent, &token) ==
               ERROR_SUCCESS) {
        Visit(parent.get(), path.substr(last + 1), path, token, snapshot);
    }
    return snapshot;
}

void AddSnapshot(Snapshot& into, const Snapshot& from) {
    into.insert(from.begin(), from.end());
}

LSTATUS ReadDescriptorAt(HKEY root, const std::wstring& path, const ProcessToken& token,
                         Bytes& descriptor) {
    UniqueKey key;
    LSTATUS status = OpenPath(root, path, READ_CONTROL, key, &token);
    return status == ERROR_SUCCESS
               ? ReadKeySecurity(key.get(),
                                 OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION,
                                 descriptor)
               : status;
}

bool HasInheritedEntry(const Bytes& descriptor) {
    DescriptorParts parts;
    bool inherited = false;
    if (ParseDescriptor(descriptor, parts) && parts.dacl) {
        ForEachAce(parts.dacl, [&](const BYTE* ace, WORD) {
            inherited |= (reinterpret_cast<const ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE) != 0;
        });
    }
    return inherited;
}

LSTATUS CreateKey(HKEY parent, const std::wstring& name, UniqueKey& key, bool* created) {
    DWORD disposition = 0;
    const LSTATUS status =
        win::RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS,
                             nullptr, key.put(), &disposition);
    if (status == ERROR_SUCCESS && disposition == REG_OPENED_EXISTING_KEY && MayBeLink(key.get())) {
        key.reset();
        return kRegistryLink;
    }
    if (created) {
        *created = disposition == REG_CREATED_NEW_KEY;
    }
    return status;
}

LSTATUS SetSddl(HKEY key, const wchar_t* sddl) {
    UniqueDescriptor descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                descriptor.put(), nullptr)) {
        return static_cast<LSTATUS>(::GetLastError());
    }
    const std::wstring text = sddl;
    const SECURITY_INFORMATION info =
        (text.starts_with(L"O:") ? OWNER_SECURITY_INFORMATION : 0) |
        (text.find(L"D:") != std::wstring::npos ? DACL_SECURITY_INFORMATION : 0);
    return win::RegSetKeySecurity(key, info, descriptor.get());
}

LSTATUS CreateLink(HKEY parent, const std::wstring& name, const std::wstring& target,
                   UniqueKey& key) {
    DWORD disposition = 0;
    LSTATUS status = win::RegCreateKeyExW(
        parent, name.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK,
        KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, key.put(), &disposition);
    if (status == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY) {
        status = ERROR_ALREADY_EXISTS;
    }
    if (status == ERROR_SUCCESS) {
        status = win::RegSetValueExW(key.get(), L"SymbolicLinkValue", 0, REG_LINK,
                                     reinterpret_cast<const BYTE*>(target.data()),
                                     static_cast<DWORD>(target.size() * sizeof(wchar_t)));
    }
    return status;
}

namespace {

// Makes Administrators the owner of a key that refuses them, and gives them full control.
void TakeKey(HKEY parent, const std::wstring& name, const ProcessToken& token) {
    const ScopedPrivilege take = ScopedPrivilege::Enable(token, Privilege::TakeOwnership);
    UniqueKey key;
    if (OpenAsItself(parent, name, WRITE_OWNER, key) == ERROR_SUCCESS) {
        (void)SetSddl(key.get(), L"O:BA");
    }
    if (OpenAsItself(parent, name, WRITE_DAC, key) == ERROR_SUCCESS) {
        (void)SetSddl(key.get(), L"D:P(A;;KA;;;BA)");
    }
}

} // namespace

LSTATUS RemoveTree(HKEY parent, const std::wstring& name, const ProcessToken& token) {
    constexpr REGSAM kAccess = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE;
    UniqueKey key;
    LSTATUS status = OpenAsItself(parent, name, kAccess, key);
    if (status == ERROR_ACCESS_DENIED) {
        TakeKey(parent, name, token);
        status = OpenAsItself(parent, name, kAccess, key);
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (!MayBeLink(key.get())) {
        for (const std::wstring& child : ReadSubkeyNames(key.get())) {
            const LSTATUS removed = RemoveTree(key.get(), child, token);
            status = status == ERROR_SUCCESS ? removed : status;
        }
    }
    const LONG deleted = win::NtDeleteKey(key.get());
    return status != ERROR_SUCCESS ? status
           : deleted == 0          ? ERROR_SUCCESS
                                   : static_cast<LSTATUS>(::RtlNtStatusToDosError(deleted));
}

} // namespace tkr::selftest
