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
    if (win::RegOpenKeyExW(parent_, name_.c_str(), 0, kNameAccess | view_, followed.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    const std::wstring name = FullKeyName(key);
    return !name.empty() && SameRegistryName(name, FullKeyName(followed.get()));
}

// Whether the object the handle holds is the parent's own child: reached through a parent that
// became a link after its check, it is the link target's child instead, and has another name. A
// table key must be one of the classes roots' own children. A merged view may show, below a key
// of one classes root, the key of the same path in the other: that one is in place too, and
// inherits from its physical parent.
bool TreeKey::IsInPlace(HKEY key) const {
    fullName_ = FullKeyName(key);
    physicalParent_.clear();
    if (fullName_.empty()) {
        return false;
    }
    if (!parentName_.empty() && SameRegistryName(fullName_, parentName_ + L"\\" + name_)) {
        return true;
    }
    const std::wstring* root = roots_ != nullptr ? roots_->RootOf(fullName_, path_) : nullptr;
    if (root == nullptr) {
        return false;
    }
    physicalParent_ = fullName_.substr(0, fullName_.size() - name_.size() - 1);
    return true;
}

LSTATUS TreeKey::Open(REGSAM access, UniqueKey& key, DWORD options) const {
    if (!pinned_) {
        return OpenChecked(access, key, options);
    }
    // Through the pinned handle, never by the path again: in the merged view a path may reach
    // another key at each open (the user's key deleted, the machine's of the same path shown).
    const LSTATUS status = win::RegOpenKeyExW(pinned_.get(), L"", options | REG_OPTION_OPEN_LINK,
                                              access | view_, key.put());
    if (status == ERROR_SUCCESS && !SameRegistryName(FullKeyName(key.get()), fullName_)) {
        key.reset();
        return ERROR_FILE_NOT_FOUND; // the key pinned is no longer what the handle reaches
    }
    return Present(status);
}

LSTATUS TreeKey::OpenChecked(REGSAM access, UniqueKey& key, DWORD options) const {
    options |= REG_OPTION_OPEN_LINK;
    access |= view_;
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

const std::wstring* ClassesRoots::RootOf(const std::wstring& fullName,
                                         const std::wstring& path) const {
    for (const std::wstring* root : {&machine, &user}) {
        if (!root->empty() && fullName.size() == root->size() + 1 + path.size() &&
            fullName[root->size()] == L'\\' &&
            SameRegistryName(fullName.substr(0, root->size()), *root) &&
            SameRegistryName(fullName.substr(root->size() + 1), path)) {
            return root;
        }
    }
    return nullptr;
}

ClassesRoots ReadClassesRoots() {
    ClassesRoots roots;
    UniqueHandle token;
    DWORD size = 0;
    std::vector<BYTE> user;
    if (!win::OpenProcessToken(win::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return roots;
    }
    if (!win::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size) && size != 0) {
        user.resize(size);
    }
    UniqueLocalText sid;
    if (!user.empty() &&
        win::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size) &&
        ::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid,
                                 sid.put())) {
        roots.user = L"\\REGISTRY\\USER\\" + std::wstring(sid.get()) + L"_Classes";
    }
    return roots;
}

std::wstring LastComponent(const std::wstring& name) {
    return name.substr(name.rfind(L'\\') + 1);
}

LSTATUS KeysAbove::Open(const std::wstring& fullName, HKEY& parent, std::wstring& parentName) {
    const std::pair<std::wstring, HKEY> hives[] = {{L"\\REGISTRY\\MACHINE", HKEY_LOCAL_MACHINE},
                                                   {L"\\REGISTRY\\USER", HKEY_USERS}};
    for (const auto& [hiveName, hive] : hives) {
        if (fullName.size() <= hiveName.size() + 1 || fullName[hiveName.size()] != L'\\' ||
            !SameRegistryName(fullName.substr(0, hiveName.size()), hiveName)) {
            continue;
        }
        std::vector<std::wstring> names = Components(fullName.substr(hiveName.size() + 1));
        names.pop_back();
        size_t kept = 0;
        if (hive_ == hiveName) {
            while (kept < opened_.size() && kept < names.size() &&
                   SameRegistryName(opened_[kept].name, names[kept])) {
                ++kept;
            }
        }
        hive_ = hiveName;
        opened_.resize(kept);
        for (size_t i = kept; i < names.size(); ++i) {
            TreeKey next(i == 0 ? hive : opened_[i - 1].key.get(),
                         i == 0 ? hiveName : opened_[i - 1].fullName, names[i], names[i]);
            UniqueKey key;
            if (const LSTATUS status = next.Open(kNameAccess, key)) {
                opened_.resize(i);
                return status;
            }
            opened_.push_back({names[i], std::move(key), next.FullName()});
        }
        parent = opened_.empty() ? hive : opened_.back().key.get();
        parentName = opened_.empty() ? hiveName : opened_.back().fullName;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS OpenByFullName(const std::wstring& fullName, REGSAM access, UniqueKey& key) {
    KeysAbove above;
    HKEY parent = nullptr;
    std::wstring parentName;
    if (const LSTATUS status = above.Open(fullName, parent, parentName)) {
        return status;
    }
    const std::wstring name = LastComponent(fullName);
    return TreeKey(parent, parentName, name, name).Open(access, key);
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
