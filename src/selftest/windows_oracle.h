// Windows' own answer for the twin: the repair applied there as Windows' own tools apply a DACL,
// through its propagating call, which computes each key's inherited entries itself.
#pragma once

#include "security/privilege.h"

#include <windows.h>

#include <string>

namespace tkr::selftest {

// What Windows' own propagation did on the twin.
struct WindowsAnswer {
    DWORD status = ERROR_SUCCESS; // of reading or writing the twin
    std::wstring where;           // the twin's key where that failed
};

// On the twin: its top given the table key's DACL as the repair left it (written to it alone),
// then key by key from the top, each reached through the one above it as itself, the repair's
// sequence (DACL, owner, DACL), each DACL the repair's two entries with these inheritance flags,
// written with SetSecurityInfo, unprotected (or protected, for the key the family protects), so
// that Windows computes the key's inherited entries from its parent and passes them down to the
// keys below it.
[[nodiscard]] WindowsAnswer ApplyWindowsPropagation(const ProcessToken& token,
                                                    DWORD inheritanceFlags);

} // namespace tkr::selftest
