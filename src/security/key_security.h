// Key security repair: the fixed two-entry DACL and the Administrators owner for one key.
#pragma once

#include <windows.h>

#include <string>

namespace tkr {

// Writes the DACL (Everyone: read, Administrators: full control, both inherited as
// inheritanceFlags says) to the key named objectName ("CLASSES_ROOT\..."), then makes
// Administrators the owner under the take-ownership privilege and writes the DACL again.
// Every outcome goes to the run log. Returns whether a DACL write succeeded.
bool RepairKeySecurity(std::wstring objectName, DWORD inheritanceFlags);

// Enables or disables one privilege of the token. Returns false when the call fails (logged
// here) or when the token does not hold the privilege (left to the caller to log).
bool SetTokenPrivilegeState(HANDLE token, LUID luid, bool enable);

} // namespace tkr
