#include "security/key_check.h"

#include "security/descriptor.h"
#include "security/key_security.h"

namespace tkr {
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
    check.daclIsRepairDacl =
        IsRepairDacl(parts.dacl, inheritanceFlags, EveryoneSid(), AdministratorsSid());
    return check;
}

} // namespace tkr
