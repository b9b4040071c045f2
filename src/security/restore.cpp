#include "security/restore.h"

#include "platform/unique.h"
#include "platform/win_api.h"
#include "security/key_security.h"

namespace tkr {
namespace {

constexpr const wchar_t* kRestorePrivileges[] = {L"SeTakeOwnershipPrivilege",
                                                 L"SeRestorePrivilege"};

void SwitchRestorePrivileges(bool enable) {
    for (const wchar_t* privilege : kRestorePrivileges) {
        SwitchPrivilege(privilege, enable);
    }
}

} // namespace

DWORD RestoreKeySecurity(const UndoEntry& entry) {
    std::wstring present;
    DWORD status = ReadKeySddl(entry.path, present);
    if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && present == entry.sddl)) {
        return status;
    }
    SwitchRestorePrivileges(true);
    // The key itself, never what it may point at; the backup-restore open when its DACL denies
    // the plain one.
    UniqueKey key;
    constexpr REGSAM kAccess = WRITE_OWNER | WRITE_DAC;
    status = win::RegOpenKeyExW(HKEY_CLASSES_ROOT, entry.path.c_str(), REG_OPTION_OPEN_LINK,
                                kAccess, key.put());
    if (status == ERROR_ACCESS_DENIED) {
        status = win::RegOpenKeyExW(HKEY_CLASSES_ROOT, entry.path.c_str(),
                                    REG_OPTION_OPEN_LINK | REG_OPTION_BACKUP_RESTORE, kAccess,
                                    key.put());
    }
    // Unlike the named call, the key call keeps the DACL's protection as the descriptor has it.
    if (status == ERROR_SUCCESS) {
        status = win::RegSetKeySecurity(key.get(),
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        entry.descriptor.get());
    }
    SwitchRestorePrivileges(false);
    return status;
}

} // namespace tkr
