// Putting a key's saved owner and DACL back.
#pragma once

#include "registry/tree_key.h"
#include "security/undo_file.h"

#include <windows.h>

namespace tkr {

// Writes the entry's owner and DACL, with their protection as recorded, to the key, with the
// take-ownership and restore privileges on for the write. A key already as recorded is not
// written. Returns a Win32 code (ERROR_FILE_NOT_FOUND: the key is gone).
[[nodiscard]] DWORD RestoreKeySecurity(const TreeKey& key, const UndoEntry& entry);

} // namespace tkr
