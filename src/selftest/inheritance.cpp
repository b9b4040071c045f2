#include "selftest/inheritance.h"

#include "selftest/dacl_compare.h"
#include "selftest/registry_state.h"
#include "selftest/seeds.h"

#include <cwchar>

namespace tkr::selftest {

Inheritance CompareWithWindows(const ProcessToken& token, DWORD flags) {
    Inheritance e;
    e.flags = flags;
    e.oracle = ApplyWindowsPropagation(token, flags);
    e.paths.push_back(kScratch);
    for (const FamilyKey& family : kFamily) {
        e.paths.push_back(Join(kScratch, family.path));
    }
    for (const std::wstring& path : e.paths) {
        const std::wstring twin = Join(kTwin, L"tkr-selftest") + path.substr(wcslen(kScratch));
        Bytes& tool = e.tool.emplace_back();
        Bytes& windows = e.windows.emplace_back();
        if (ReadDescriptorAt(HKEY_CLASSES_ROOT, path, token, tool) != ERROR_SUCCESS) {
            tool.clear();
        }
        if (ReadDescriptorAt(HKEY_CLASSES_ROOT, twin, token, windows) != ERROR_SUCCESS) {
            windows.clear();
        }
    }
    // Whether Windows passed anything down at all: the leaf below two unprotected keys
    // (kFamily[2], after the scratch key) holds what it passed.
    e.inherits = e.oracle.status == ERROR_SUCCESS && HasInheritedEntry(e.windows[1 + 2]);
    return e;
}

Outcome JudgeInheritance(const Inheritance& e) {
    if (e.oracle.status != ERROR_SUCCESS) {
        return Failed(L"Windows' own propagation on HKEY_CLASSES_ROOT\\" + e.oracle.where +
                      L" failed: error " + std::to_wstring(e.oracle.status));
    }
    if (!e.inherits) {
        return NotShown(L"this system's SetSecurityInfo passes no inherited entries down (it "
                        L"gave none to HKEY_CLASSES_ROOT\\" +
                        Join(Join(kTwin, L"tkr-selftest"), kFamily[2].path) + L")");
    }
    for (size_t i = 0; i < e.paths.size(); ++i) {
        if (!e.results.empty() && e.results[i] != L"DONE") {
            if ((e.flags & INHERIT_ONLY_ACE) != 0) {
                continue;
            }
            return Failed(e.paths[i] + L": the repair said \"" + e.results[i] + L"\"");
        }
        if (e.tool[i].empty() || e.windows[i].empty()) {
            return Failed(e.paths[i] + L": its security or its twin's cannot be read");
        }
        const std::wstring difference = DaclDifference(e.tool[i], e.windows[i], e.flags);
        if (!difference.empty()) {
            return Failed(e.paths[i] + L": " + difference);
        }
    }
    return Passed();
}

} // namespace tkr::selftest
