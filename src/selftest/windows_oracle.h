// Windows' own answer for the twin: the repair's sequence applied there with the inherited
// entries Windows' own inheritance code computes.
#pragma once

#include "security/privilege.h"

#include <windows.h>

#include <string>

namespace tkr::selftest {

// What Windows' own inheritance gave the twin.
struct WindowsAnswer {
    DWORD inheritance = ERROR_SUCCESS; // of its computation; an error: it computes none here
    DWORD status = ERROR_SUCCESS;      // of reading or writing the twin
    std::wstring where;                // the twin's key where that failed
};

// On the twin, key by key from the top, the repair's sequence (DACL, owner, DACL), each key
// reached through the one above it as itself.
[[nodiscard]] WindowsAnswer ApplyWindowsSequence(const ProcessToken& token);

} // namespace tkr::selftest
