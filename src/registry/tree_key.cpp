#include "registry/tree_key.h"

#include "platform/win_api.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tkr {
namespace {

constexpr int kKeyNameInformation = 3;

// Only "no such value" says a key is no link: any other failure of the query (the key deleted
// meanwhile, a handle refused) leaves it undetermined, and so a link.
bool MayBeLink(HKEY key) {
    DWORD type = REG_NONE;
    const LSTATUS query =
        win::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    if (query == ERROR_FILE_NOT_FOUND) {
        return false;
    }
    return query == ERROR_SUCCESS || query == ERROR_MORE_DATA ? type == REG_LINK : true;
}

// The full names of the keys HKEY_CLASSES_ROOT shows merged: the machine's classes and the
// user's (the system's link to them followed: only their names are asked). Asked only when a key
// is not where its parent is, which plain trees never show.
std::vector<std::wstring> ClassesRootNames() {
    std::vector<std::wstring> names;
    const std::pair<HKEY, const wchar_t*> roots[] = {{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes"},
                                                     {HKEY_CURRENT_USER, L"Software\\Classes"}};
    for (const auto& [root, path] : roots) {
        UniqueKey key;
        if (win::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
            if (std::wstring name = FullKeyName(key.get()); !name.empty()) {
                names.push_back(std::move(name));
            }
        }
    }
    return names;
}

// What a key path's components are: the names between its backslashes.
std::vector<std::wstring> Components(const std::wstring& path) {
    std::vector<std::wstring> parts;
    for (size_t start = 0;;) {
        const size_t slash = path.find(L'\\', start);
        parts.push_back(path.substr(start, slash - start));
        if (slash == std::wstring::npos) {
            return parts;
        }
        start = slash + 1;
    }
}

} // namespace

bool SameRegistryName(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring FullKeyName(HKEY key) {
    std::vector<BYTE> buffer(1024);
    for (;;) {
        ULONG needed = 0;
        const LONG status = win::NtQueryKey(key, kKeyNameInformation, buffer.data(),
                                            static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0) {
            break;
        }
        if (needed <= buffer.size()) {
            return L"";
        }
        buffer.resize(needed);
    }
    ULONG bytes = 0;
    std::memcpy(&bytes, buffer.data(), sizeof bytes);
    bytes = std::min<ULONG>(bytes, static_cast<ULONG>(buffer.size() - sizeof bytes));
    return std::wstring(reinterpret_cast<const wchar_t*>(buffer.data() + sizeof bytes),
                        bytes / sizeof(wchar_t));
}

// For a key whose DACL denies reading its values: the key a following open reaches has the same
// name as the object the handle holds unless the name leads elsewhere, through a link. That open
// asks for ACCESS_SYSTEM_SECURITY, which the security privilege (on for the run) grants whatever
// the DACL; the handle names the key it reached, as any handle with a granted right does.
bool TreeKey::ResolvesToItself(HKEY key) const {
    UniqueKey followed;
    if (win::RegOpenKeyExW(parent_, name_.c_str(), 0, kNameAccess, followed.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    const std::wstring name = FullKeyName(key);
    return !name.empty() && name == FullKeyName(followed.get());
}

// Whether the object the handle holds is the parent's own child: reached through a parent that
// became a link after its check, it is the link target's child instead, and has another name. A
// merged view may show, below a key of one classes root, the key of the same path in the other:
// that one is in place too, and inherits from its physical parent.
bool TreeKey::IsInPlace(HKEY key) const {
    fullName_ = FullKeyName(key);
    physicalParent_.clear();
    if (fullName_.empty()) {
        return false;
    }
    if (parentName_.empty() || SameRegistryName(fullName_, parentName_ + L"\\" + name_)) {
        return true;
    }
    if (path_.size() <= name_.size()) {
        return false;
    }
    for (const std::wstring& root : ClassesRootNames()) {
        if (SameRegistryName(fullName_, root + L"\\" + path_)) {
            physicalParent_ = root + L"\\" + path_.substr(0, path_.size() - name_.size() - 1);
            return true;
        }
    }
    return false;
}

LSTATUS TreeKey::Open(REGSAM access, UniqueKey& key, DWORD options) const {
    options |= REG_OPTION_OPEN_LINK;
    LSTATUS status =
        win::RegOpenKeyExW(parent_, name_.c_str(), options, access | KEY_QUERY_VALUE, key.put());
    if (status == ERROR_SUCCESS) {
        if (!MayBeLink(key.get()) && IsInPlace(key.get())) {
            return ERROR_SUCCESS;
        }
    } else if (status != ERROR_ACCESS_DENIED || (access & KEY_QUERY_VALUE) != 0) {
        return status;
    } else {
        status = win::RegOpenKeyExW(parent_, name_.c_str(), options, access, key.put());
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (ResolvesToItself(key.get()) && IsInPlace(key.get())) {
            return ERROR_SUCCESS;
        }
    }
    key.reset(); // better skip a key than write outside the trees
    return kRegistryLink;
}

LSTATUS ReadKeySecurity(HKEY key, SECURITY_INFORMATION info, std::vector<BYTE>& descriptor) {
    descriptor.resize(std::max<size_t>(descriptor.size(), 512)); // most fit: one call
    for (;;) {
        DWORD size = static_cast<DWORD>(descriptor.size());
        const LSTATUS status = win::RegGetKeySecurity(key, info, descriptor.data(), &size);
        if (status != ERROR_INSUFFICIENT_BUFFER || size <= descriptor.size()) {
            if (status == ERROR_SUCCESS) {
                descriptor.resize(size);
            }
            return status;
        }
        descriptor.resize(size);
    }
}

LSTATUS KeysAbove::Open(const std::wstring& path, HKEY& parent, std::wstring& parentName) {
    std::vector<std::wstring> names = Components(path);
    names.pop_back();
    size_t kept = 0;
    while (kept < opened_.size() && kept < names.size() && opened_[kept].name == names[kept]) {
        ++kept;
    }
    opened_.resize(kept);
    std::wstring at;
    for (size_t i = 0; i < names.size(); ++i) {
        at += (at.empty() ? L"" : L"\\") + names[i];
        if (i < kept) {
            continue;
        }
        UniqueKey next;
        TreeKey key(i == 0 ? HKEY_CLASSES_ROOT : opened_[i - 1].key.get(),
                    i == 0 ? L"" : opened_[i - 1].fullName, names[i], at);
        if (const LSTATUS status = key.Open(kNameAccess, next)) {
            opened_.resize(i);
            return status;
        }
        opened_.push_back({names[i], std::move(next), key.FullName()});
    }
    parent = opened_.empty() ? nullptr : opened_.back().key.get();
    parentName = opened_.empty() ? L"" : opened_.back().fullName;
    return ERROR_SUCCESS;
}

LSTATUS OpenByFullName(const std::wstring& fullName, REGSAM access, UniqueKey& key) {
    const std::pair<std::wstring, HKEY> hives[] = {{L"\\REGISTRY\\MACHINE", HKEY_LOCAL_MACHINE},
                                                   {L"\\REGISTRY\\USER", HKEY_USERS}};
    for (const auto& [hiveName, hive] : hives) {
        if (fullName.size() <= hiveName.size() + 1 || fullName[hiveName.size()] != L'\\' ||
            !SameRegistryName(fullName.substr(0, hiveName.size()), hiveName)) {
            continue;
        }
        const std::vector<std::wstring> names = Components(fullName.substr(hiveName.size() + 1));
        std::wstring parentName = hiveName;
        UniqueKey parent;
        for (size_t i = 0; i < names.size(); ++i) {
            // The names are the registry's own: no redirection of a 32-bit program's view.
            const REGSAM step = (i + 1 == names.size() ? access : kNameAccess) | KEY_WOW64_64KEY;
            TreeKey next(parent ? parent.get() : hive, parentName, names[i], names[i]);
            UniqueKey opened;
            if (const LSTATUS status = next.Open(step, opened)) {
                return status;
            }
            parent = std::move(opened);
            parentName = next.FullName();
        }
        key = std::move(parent);
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS TreeKey::Pin(REGSAM access) {
    LSTATUS status = Open(access, pinned_);
    if (status == ERROR_SUCCESS) {
        granted_ = access;
    } else if (status == ERROR_ACCESS_DENIED && access != kNameAccess) {
        status = Open(kNameAccess, pinned_); // enough to know it is no link
    }
    return status;
}

} // namespace tkr
