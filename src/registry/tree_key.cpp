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

bool HoldsLinkValue(HKEY key) {
    DWORD type = REG_NONE;
    const LSTATUS query =
        win::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    return (query == ERROR_SUCCESS || query == ERROR_MORE_DATA) && type == REG_LINK;
}

} // namespace

// For a key whose DACL denies reading its values: an open with no access at all is allowed
// whatever the DACL, and can do nothing but name the key it reached, which tells whether the
// name leads elsewhere than to the object pinned.
bool TreeKey::ResolvesToItself(HKEY key) const {
    UniqueKey followed;
    if (win::RegOpenKeyExW(parent_, name_.c_str(), 0, 0, followed.put()) != ERROR_SUCCESS) {
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

LSTATUS TreeKey::Pin(REGSAM access) {
    LSTATUS status = Open(access, pinned_);
    if (status == ERROR_SUCCESS) {
        granted_ = access;
    } else if (status == ERROR_ACCESS_DENIED && access != 0) {
        status = Open(0, pinned_); // enough to know it is no link
    }
    return status;
}

} // namespace tkr
