// The check of one key's security: is it what the repair would leave?
#pragma once

#include "registry/tree_key.h"

#include <windows.h>

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

} // namespace tkr
