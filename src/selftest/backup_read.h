// The check that keys denying administrators the reading of their security are saved for undo:
// each has an entry, read under the backup privilege where the system lets that privilege read
// what a DACL denies.
#pragma once

#include "report/undo_format.h"
#include "security/privilege.h"
#include "selftest/verdict.h"

#include <windows.h>

#include <span>
#include <string>

namespace tkr::selftest {

// Whether the backup privilege reads the security of the key at `path` below HKEY_CLASSES_ROOT,
// whose DACL denies that read: ERROR_SUCCESS, or the error of the read. Asked before the tool
// runs.
[[nodiscard]] LSTATUS ProbeBackupRead(const ProcessToken& token, const std::wstring& path);

// Each of `paths` has an entry in the undo file; where the system grants the backup read, none of
// the entries says it could not be read.
[[nodiscard]] Outcome JudgeSavedForUndo(std::span<const UndoLine> entries, LSTATUS backupRead,
                                        std::span<const std::wstring> paths,
                                        const std::wstring& undoFile);

} // namespace tkr::selftest
