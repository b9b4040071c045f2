// The check of one key's security: is it what the repair would leave?
#pragma once

#include "registry/tree_key.h"

#include <windows.h>

#include <string>

namespace tkr {

struct KeyCheck {
    DWORD status = ERROR_SUCCESS; // of reading the key's security; ERROR_FILE_NOT_FOUND: no key
    bool ownerIsAdministrators = false;
    bool daclIsRepairDacl = false;
    [[nodiscard]] bool Ok() const {
        return status == ERROR_SUCCESS && ownerIsAdministrators && daclIsRepairDacl;
    }
};

// Reads the owner and DACL of the key and compares them with what the repair writes for
// inheritanceFlags. Changes nothing.
[[nodiscard]] KeyCheck CheckKeySecurity(const TreeKey& key, DWORD inheritanceFlags);

// Whether the DACL's own (not inherited) entries are exactly the repair's two, in either order:
// Everyone allowed KEY_READ and Administrators allowed KEY_ALL_ACCESS, each with exactly
// inheritanceFlags, generic rights taken as the key rights they stand for.
bool IsRepairDacl(const ACL* dacl, DWORD inheritanceFlags);

// The result line of a check: "OK", "NOT PRESENT" or "NEEDS REPAIR: <why>".
std::wstring CheckResultText(const KeyCheck& check);

} // namespace tkr
