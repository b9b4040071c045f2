#include "security/restore.h"

#include "platform/unique.h"
#include "platform/win_api.h"
#include "security/key_security.h"

namespace tkr {

DWORD RestoreKeySecurity(const TreeKey& key, const ProcessToken& token, const std::wstring& sddl,
                         const Bytes& descriptor) {
    Bytes read;
    std::wstring present;
    DWORD status = ReadTreeKeySecurity(key, token, read);
    if (status == ERROR_SUCCESS) {
        status = ToSddl(read, present);
    }
    if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && present == sddl)) {
        return status;
    }
    const auto takeOwnership = ScopedPrivilege::Enable(token, Privilege::TakeOwnership);
    const auto restore = ScopedPrivilege::Enable(token, Privilege::Restore);
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
                                        const_cast<BYTE*>(descriptor.data()));
    }
    return status;
}

} // namespace tkr
