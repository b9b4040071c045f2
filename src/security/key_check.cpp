#include "security/key_check.h"

#include "platform/unique.h"
#include "platform/win_api.h"
#include "security/descriptor.h"
#include "security/key_security.h"

#include <cstring>

namespace tkr {
namespace {

// What each generic right stands for on a registry key.
ACCESS_MASK MapKeyRights(ACCESS_MASK mask) {
    struct Mapping {
        ACCESS_MASK generic;
        ACCESS_MASK specific;
    };
    constexpr Mapping kMappings[] = {{GENERIC_READ, KEY_READ},
                                     {GENERIC_WRITE, KEY_WRITE},
                                     {GENERIC_EXECUTE, KEY_EXECUTE},
                                     {GENERIC_ALL, KEY_ALL_ACCESS}};
    for (const Mapping& mapping : kMappings) {
        if ((mask & mapping.generic) != 0) {
            mask = (mask & ~mapping.generic) | mapping.specific;
        }
    }
    return mask;
}

size_t SidLength(const SID& sid) {
    return offsetof(SID, SubAuthority) + sid.SubAuthorityCount * sizeof(DWORD);
}

// Whether the SID at `sid` (within `available` bytes) is `expected`.
bool SidIs(const BYTE* sid, size_t available, const SID& expected) {
    const size_t length = SidLength(expected);
    return available >= length && std::memcmp(sid, &expected, length) == 0;
}

} // namespace

bool IsRepairDacl(const ACL* dacl, DWORD inheritanceFlags) {
    if (dacl == nullptr) {
        return false; // no DACL: everyone has full access
    }
    const BYTE* const start = reinterpret_cast<const BYTE*>(dacl);
    const BYTE* const end = start + dacl->AclSize;
    const BYTE* ace = start + sizeof(ACL);
    bool everyone = false;
    bool admins = false;
    int own = 0;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER header;
        if (end - ace < static_cast<ptrdiff_t>(sizeof header)) {
            return false;
        }
        std::memcpy(&header, ace, sizeof header);
        if (header.AceSize < sizeof header || end - ace < header.AceSize) {
            return false;
        }
        if ((header.AceFlags & INHERITED_ACE) == 0) {
            ++own;
            constexpr size_t kSidStart = offsetof(ACCESS_ALLOWED_ACE, SidStart);
            if (header.AceType != ACCESS_ALLOWED_ACE_TYPE || header.AceSize < kSidStart ||
                (header.AceFlags & VALID_INHERIT_FLAGS) != inheritanceFlags) {
                return false;
            }
            ACCESS_MASK mask = 0;
            std::memcpy(&mask, ace + sizeof header, sizeof mask);
            const BYTE* sid = ace + kSidStart;
            const size_t sidBytes = header.AceSize - kSidStart;
            const ACCESS_MASK rights = MapKeyRights(mask);
            if (!everyone && rights == KEY_READ && SidIs(sid, sidBytes, EveryoneSid())) {
                everyone = true;
            } else if (!admins && rights == KEY_ALL_ACCESS &&
                       SidIs(sid, sidBytes, AdministratorsSid())) {
                admins = true;
            } else {
                return false;
            }
        }
        ace += header.AceSize;
    }
    return own == 2 && everyone && admins;
}

KeyCheck CheckKeySecurity(const TreeKey& key, DWORD inheritanceFlags) {
    KeyCheck check;
    Bytes descriptor;
    check.status = key.With(READ_CONTROL, [&descriptor](HKEY handle) {
        return ReadKeySecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                               descriptor);
    });
    DescriptorParts parts;
    if (check.status == ERROR_SUCCESS && !ParseDescriptor(descriptor, parts)) {
        check.status = ERROR_INVALID_SECURITY_DESCR;
    }
    if (check.status != ERROR_SUCCESS) {
        return check;
    }
    check.ownerIsAdministrators =
        parts.owner != nullptr && SidIs(reinterpret_cast<const BYTE*>(parts.owner),
                                        SidLength(*parts.owner), AdministratorsSid());
    check.daclIsRepairDacl = IsRepairDacl(parts.dacl, inheritanceFlags);
    return check;
}

std::wstring CheckResultText(const KeyCheck& check) {
    if (check.status == ERROR_FILE_NOT_FOUND) {
        return L"NOT PRESENT";
    }
    if (check.status != ERROR_SUCCESS) {
        return L"NEEDS REPAIR: its security cannot be read (error " +
               std::to_wstring(check.status) + L")";
    }
    if (check.Ok()) {
        return L"OK";
    }
    std::wstring text = L"NEEDS REPAIR: ";
    if (!check.ownerIsAdministrators) {
        text += L"owner is not Administrators";
    }
    if (!check.daclIsRepairDacl) {
        text += check.ownerIsAdministrators ? L"" : L"; ";
        text += L"its own DACL entries are not the two the repair writes";
    }
    return text;
}

} // namespace tkr
