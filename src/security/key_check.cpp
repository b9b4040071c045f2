#include "security/key_check.h"

#include "security/descriptor.h"
#include "security/key_security.h"

#include <cstring>

namespace tkr {
namespace {

// Whether the DACL's own (not inherited) entries are exactly the repair's two, in either order:
// Everyone allowed KEY_READ and Administrators allowed KEY_ALL_ACCESS, each with exactly
// inheritanceFlags, generic rights taken as the key rights they stand for.
bool IsRepairDacl(const ACL* dacl, DWORD inheritanceFlags) {
    if (dacl == nullptr) {
        return false; // no DACL: everyone has full access
    }
    bool everyone = false;
    bool admins = false;
    bool other = false;
    ForEachAce(dacl, [&](const BYTE* ace, WORD size) {
        const BYTE flags = ace[offsetof(ACE_HEADER, AceFlags)];
        if ((flags & INHERITED_ACE) != 0) {
            return;
        }
        ACCESS_MASK mask;
        std::memcpy(&mask, ace + sizeof(ACE_HEADER), sizeof mask);
        const ACCESS_MASK rights = MapGenericKeyRights(mask);
        const SID* sid =
            ace[0] == ACCESS_ALLOWED_ACE_TYPE && (flags & VALID_INHERIT_FLAGS) == inheritanceFlags
                ? AceSid(ace, size)
                : nullptr;
        if (!everyone && rights == KEY_READ && SidEquals(sid, EveryoneSid())) {
            everyone = true;
        } else if (!admins && rights == KEY_ALL_ACCESS && SidEquals(sid, AdministratorsSid())) {
            admins = true;
        } else {
            other = true;
        }
    });
    return everyone && admins && !other;
}

} // namespace

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
    check.ownerIsAdministrators = SidEquals(parts.owner, AdministratorsSid());
    check.daclIsRepairDacl = IsRepairDacl(parts.dacl, inheritanceFlags);
    return check;
}

} // namespace tkr
