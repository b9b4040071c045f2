// Putting a key's saved owner and DACL back.
#pragma once

#include "registry/tree_key.h"
#include "security/descriptor.h"
#include "security/privilege.h"

#include <windows.h>

#include <string>

namespace tkr {

// Writes the owner and DACL of `descriptor` (`sddl` converted), with their protection as
// recorded, to the key, with the take-ownership and restore privileges on for the write. A key
// already as recorded is not written. Returns a Win32 code (ERROR_FILE_NOT_FOUND: the key is gone).
[[nodiscard]] DWORD RestoreKeySecurity(const TreeKey& key, const ProcessToken& token,
                                       const std::wstring& sddl, const Bytes& descriptor);

} // namespace tkr
