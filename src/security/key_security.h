// Key security repair: the fixed two-entry DACL and the Administrators owner for one key.
#pragma once

#include <windows.h>

#include <string>

namespace tkr {

// The longest key path that can be passed whole: "CLASSES_ROOT\" and the path together must fit
// in the 32,766 units a registry name can have; a longer one would be cut short and address
// another key.
inline constexpr size_t kMaxKeyPathLength = 32766 - 13;

// Writes the DACL (Everyone: read, Administrators: full control, both inherited as
// inheritanceFlags says) to the key named objectName ("CLASSES_ROOT\..."), then makes
// Administrators the owner under the take-ownership privilege and writes the DACL again.
// Every outcome goes to the run log. Returns whether a DACL write succeeded; firstWrite, if
// given, gets the first write's status (ERROR_FILE_NOT_FOUND: the key does not exist).
bool RepairKeySecurity(std::wstring objectName, DWORD inheritanceFlags,
                       DWORD* firstWrite = nullptr);

// Enables or disables one privilege of the token. Returns false when the call fails (logged
// here) or when the token does not hold the privilege (left to the caller to log).
bool SetTokenPrivilegeState(HANDLE token, LUID luid, bool enable);

// Enables or disables the named privilege in the process token, logging nothing: the call that
// needs it says by its own failure whether it was there.
void SwitchPrivilege(const wchar_t* name, bool enable);

// The well-known groups of the repair's DACL, as SIDs that need no release.
const SID& AdministratorsSid();
const SID& EveryoneSid();

} // namespace tkr
