// What the self-test removes: what it planted, at its end, and what an earlier one that was
// interrupted left, at its start.
#include "selftest/seeds.h"

#include "selftest/registry_state.h"

namespace tkr::selftest {

LSTATUS Seeds::RemoveLeftovers(std::wstring& what, std::vector<std::wstring>& removed) {
    struct Leftover {
        HKEY root;
        const wchar_t* rootName;
        std::wstring path;
        bool marked; // a table key, only where it bears the mark of one the self-test created
    };
    const Leftover leftovers[] = {
        {MachineClasses(), kMachineClasses, kScratch, false},
        {UserClasses(), kUserClasses, kScratch, false},
        {MachineClasses(), kMachineClasses, kTwin, false},
        {UserClasses(), kUserClasses, kTwin, false},
        {MachineClasses(), kMachineClasses, kSentinel, false},
        {UserClasses(), kUserClasses, kSentinel, false},
        {UserClasses(), kUserClasses, Join(kMergedTable, kUserChild), false},
        {MachineClasses(), kMachineClasses, Join(kMergedTable, kMachineChild), false},
        {UserClasses(), kUserClasses, kScratchTable, true},
        {MachineClasses(), kMachineClasses, kScratchTable, true},
        {UserClasses(), kUserClasses, kMergedTable, true},
        {MachineClasses(), kMachineClasses, kMergedTable, true}};
    for (const Leftover& leftover : leftovers) {
        if (!leftover.root) {
            continue;
        }
        if (leftover.marked) {
            UniqueKey key;
            if (OpenPath(leftover.root, leftover.path, KEY_QUERY_VALUE, key) != ERROR_SUCCESS ||
                ::RegQueryValueExW(key.get(), kCreatedMark, nullptr, nullptr, nullptr, nullptr) !=
                    ERROR_SUCCESS) {
                continue; // none, or not one the self-test created
            }
        } else if (SecurityTextAt(leftover.root, leftover.path, token_) == L"not present") {
            continue;
        }
        const LSTATUS status = RemoveOne({leftover.root, leftover.path});
        // A key on the way that refuses administrators holds nothing they could remove; the
        // planting says what it lacks.
        if (status != ERROR_SUCCESS && status != ERROR_ACCESS_DENIED) {
            what = leftover.path + L" (left by an earlier self-test): error " +
                   std::to_wstring(status);
            return status;
        }
        if (status == ERROR_SUCCESS) {
            removed.push_back(Join(leftover.rootName, leftover.path));
        }
    }
    return ERROR_SUCCESS;
}

LSTATUS Seeds::RemoveOne(const Planted& planted) const {
    const size_t last = planted.path.rfind(L'\\');
    if (last == std::wstring::npos) {
        return RemoveTree(planted.root, planted.path, token_);
    }
    UniqueKey parent;
    const LSTATUS status = OpenPath(planted.root, planted.path.substr(0, last), kAnyRight, parent);
    return status == ERROR_SUCCESS ? RemoveTree(parent.get(), planted.path.substr(last + 1), token_)
           : status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS
                                            : status;
}

LSTATUS Seeds::Remove(std::wstring* what) {
    LSTATUS first = ERROR_SUCCESS;
    while (!planted_.empty()) {
        const Planted planted = planted_.back();
        planted_.pop_back();
        const LSTATUS status = RemoveOne(planted);
        if (status != ERROR_SUCCESS && first == ERROR_SUCCESS) {
            first = status;
            if (what) {
                *what = planted.path;
            }
        }
    }
    return first;
}

} // namespace tkr::selftest
