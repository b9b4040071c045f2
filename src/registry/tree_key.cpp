#include "registry/tree_key.h"

#include "platform/win_api.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tkr {
namespace {

constexpr int kKeyNameInformation = 3;

// The full name (as the native call gives it) of the key the handle refers to; empty if it
// cannot be had.
[[nodiscard]] std::wstring FullKeyName(HKEY key) {
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

bool HoldsLinkValue(HKEY key) {
    DWORD type = REG_NONE;
    const LSTATUS query =
        win::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    return (query == ERROR_SUCCESS || query == ERROR_MORE_DATA) && type == REG_LINK;
}

} // namespace

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

LSTATUS TreeKey::Open(REGSAM access, UniqueKey& key, DWORD options) const {
    options |= REG_OPTION_OPEN_LINK;
    LSTATUS status =
        win::RegOpenKeyExW(parent_, name_.c_str(), options, access | KEY_QUERY_VALUE, key.put());
    if (status == ERROR_SUCCESS) {
        if (!HoldsLinkValue(key.get())) {
            return ERROR_SUCCESS;
        }
    } else if (status != ERROR_ACCESS_DENIED || (access & KEY_QUERY_VALUE) != 0) {
        return status;
    } else {
        status = win::RegOpenKeyExW(parent_, name_.c_str(), options, access, key.put());
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (ResolvesToItself(key.get())) {
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

LSTATUS OpenParentOf(const std::wstring& path, UniqueKey& parent) {
    size_t start = 0;
    for (size_t slash; (slash = path.find(L'\\', start)) != std::wstring::npos; start = slash + 1) {
        UniqueKey next;
        const LSTATUS status = TreeKey(parent ? parent.get() : HKEY_CLASSES_ROOT,
                                       path.substr(start, slash - start), {})
                                   .Open(kNameAccess, next);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        parent = std::move(next);
    }
    return ERROR_SUCCESS;
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
