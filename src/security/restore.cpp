#include "security/restore.h"

#include "platform/unique.h"
#include "platform/win_api.h"
#include "security/privilege.h"

namespace tkr {

DWORD RestoreKeySecurity(const TreeKey& key, const UndoEntry& entry) {
    std::wstring present;
    DWORD status = ReadKeySddl(key, present);
    if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && present == entry.sddl)) {
        return status;
    }
    const ScopedPrivilege takeOwnership(L"SeTakeOwnershipPrivilege");
    const ScopedPrivilege restore(L"SeRestorePrivilege");
    // Opened with the privileges on, and with the backup-restore option when the key's DACL
    // denies the plain open.
    UniqueKey handle;
    constexpr REGSAM kAccess = WRITE_OWNER | WRITE_DAC;
    status = key.Open(kAccess, handle);
    if (status == ERROR_ACCESS_DENIED) {
        status = key.Open(kAccess, handle, REG_OPTION_BACKUP_RESTORE);
    }
    // Unlike the other security calls, the key call keeps the DACL's protection as the
    // descriptor has it.
    if (status == ERROR_SUCCESS) {
        status = win::RegSetKeySecurity(handle.get(),
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        entry.descriptor.get());
    }
    return status;
}

} // namespace tkr
