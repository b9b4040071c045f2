// The run: options, the table of document-type keys, and the walk over each key's tree.
#pragma once

#include <windows.h>

#include <array>
#include <string>

namespace tkr {

// The extension keys under HKEY_CLASSES_ROOT whose trees are repaired, in order.
extern const std::array<const wchar_t*, 15> DocumentTypeKeys;

// The inheritance word chosen by the "-i1" to "-i5" options; 2 when none is given.
DWORD ParseInheritanceFlags(int argc, wchar_t** argv);

// Whether the key is a registry symbolic link. A key the check cannot open counts as none.
bool IsRegistryLink(const std::wstring& keyPath);

// Repairs the key (relative to HKEY_CLASSES_ROOT) and every key below it, depth-first and
// pre-order, announcing each key and its result on the console and in the run log.
void RepairKeyTree(const std::wstring& keyPath, DWORD inheritanceFlags);

// The whole run: options, log name, every table key's tree, then the key-press prompt.
// Returns 0.
int RunRepair(int argc, wchar_t** argv);

// The entry point's body: RunRepair, or, when the run cannot go on (no memory, a text that
// cannot be formatted, no local time), a message on the console and 1.
int RunTool(int argc, wchar_t** argv);

} // namespace tkr
