#include "selftest/backup_read.h"

#include "platform/unique.h"
#include "selftest/registry_state.h"

#include <algorithm>

namespace tkr::selftest {

LSTATUS ProbeBackupRead(const ProcessToken& token, const std::wstring& path) {
    UniqueKey probe;
    return OpenPath(HKEY_CLASSES_ROOT, path, READ_CONTROL, probe, &token);
}

Outcome JudgeSavedForUndo(std::span<const UndoLine> entries, LSTATUS backupRead,
                          std::span<const std::wstring> paths, const std::wstring& undoFile) {
    for (const std::wstring& path : paths) {
        if (std::ranges::none_of(entries,
                                 [&](const UndoLine& entry) { return entry.path == path; })) {
            return Failed(path + L": no undo entry in \"" + undoFile + L"\"");
        }
    }
    if (backupRead != ERROR_SUCCESS) {
        return NotShown(L"this system does not let the backup privilege read a key whose DACL "
                        L"denies it (error " +
                        std::to_wstring(backupRead) + L")");
    }
    for (const UndoLine& entry : entries) {
        if (entry.unreadable != ERROR_SUCCESS) {
            return Failed(entry.path + L": its undo entry says unreadable " +
                          std::to_wstring(entry.unreadable));
        }
    }
    return Passed();
}

} // namespace tkr::selftest
