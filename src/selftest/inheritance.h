// The inheritance check: the DACLs the tool left on the inheritance family against those Windows'
// own propagation gives the family's twin, with the inheritance options of one repair run.
#pragma once

#include "security/descriptor.h"
#include "security/privilege.h"
#include "selftest/verdict.h"
#include "selftest/windows_oracle.h"

#include <windows.h>

#include <string>
#include <vector>

namespace tkr::selftest {

struct Inheritance {
    DWORD flags = CONTAINER_INHERIT_ACE; // the repair's inheritance flags
    WindowsAnswer oracle;
    bool inherits = false; // Windows' own answer gave the twin inherited entries
    // The family below the table key and its twin's, each as left (empty where it could not be
    // read), from the top.
    std::vector<std::wstring> paths;
    std::vector<Bytes> tool;
    std::vector<Bytes> windows;
    // What the repair said of each ("DONE"), where it was asked.
    std::vector<std::wstring> results;
};

// After a repair with these inheritance flags: Windows' own propagation on the twin, then both
// families read.
[[nodiscard]] Inheritance CompareWithWindows(const ProcessToken& token, DWORD flags);

// Every key of the family has the inherited entries, in order, and the DACL flags that Windows'
// own propagation gave its twin, and the repair's own entries; NOT SHOWN where Windows passed
// nothing down. A key the repair did not reach fails, unless the repair's entries are
// inherit-only: those may lock the tool out of a key above it, and it is not compared.
[[nodiscard]] Outcome JudgeInheritance(const Inheritance& e);

} // namespace tkr::selftest
