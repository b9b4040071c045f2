#include "selftest/merged_view.h"

#include "selftest/dacl_compare.h"
#include "selftest/registry_state.h"

namespace tkr::selftest {

MergedView ShowMerged(const ProcessToken& token, std::vector<Physical> physical,
                      const std::wstring& table, const std::wstring& userChild,
                      const std::wstring& machineChild) {
    MergedView view;
    for (auto [child, shown] :
         {std::pair{&userChild, &view.userShown}, std::pair{&machineChild, &view.machineShown}}) {
        UniqueKey seen;
        *shown = OpenPath(HKEY_CLASSES_ROOT, Join(table, *child), KEY_QUERY_VALUE, seen) ==
                 ERROR_SUCCESS;
    }
    view.physical = std::move(physical);
    for (const Physical& key : view.physical) {
        view.before.push_back(SecurityTextAt(key.root, key.path, token));
    }
    return view;
}

void ReadMerged(const ProcessToken& token, MergedView& view) {
    for (const Physical& key : view.physical) {
        view.after.push_back(SecurityTextAt(key.root, key.path, token));
    }
    if (view.userShown && view.machineShown) {
        const Physical& child = view.physical[3];
        const Physical& parent = view.physical[2];
        view.read = ReadDescriptorAt(child.root, child.path, token, view.child);
        if (view.read == ERROR_SUCCESS) {
            view.read = ReadDescriptorAt(parent.root, parent.path, token, view.parent);
        }
    }
}

std::wstring MergedChanges(const MergedView& view) {
    std::wstring changed;
    std::wstring unchanged;
    for (size_t i = 0; i < view.physical.size(); ++i) {
        (view.after[i] != view.before[i] ? changed : unchanged) +=
            (L", " + view.physical[i].Name());
    }
    return L"INFO: in the merged view the repair changed " +
           (changed.empty() ? L"none" : changed.substr(2)) + L"; it left " +
           (unchanged.empty() ? L"none" : unchanged.substr(2));
}

// The user's table key, its child and the machine's child shown below it repaired; the machine's
// child holds an inherited entry, and none its physical parent (the machine's table key) could
// not have given it.
Outcome JudgeMergedView(const MergedView& e, const std::wstring& table) {
    if (!e.userShown || !e.machineShown) {
        return NotShown(L"this system does not merge the user's classes into HKEY_CLASSES_ROOT "
                        L"(below HKEY_CLASSES_ROOT\\" +
                        table + L" it shows " +
                        (e.userShown      ? L"only the user's subkey"
                         : e.machineShown ? L"only the machine's subkey"
                                          : L"neither subkey") +
                        L")");
    }
    for (size_t i : {0u, 1u, 3u}) {
        if (!IsRepaired(e.after[i])) {
            return Failed(e.physical[i].Name() + L": not repaired; " + e.after[i]);
        }
    }
    const std::wstring child = e.physical[3].Name();
    const std::wstring parent = e.physical[2].Name() + L" (" + e.after[2] + L")";
    if (e.read != ERROR_SUCCESS) {
        return Failed(child + L": its security or its parent's cannot be read");
    }
    // A child that inherits nothing would pass the test below without showing anything.
    if (!HasInheritedEntry(e.child)) {
        return Failed(child + L": no inherited entry, though its physical parent " + parent +
                      L" passes entries down");
    }
    const std::wstring foreign = EntryFromElsewhere(e.child, e.parent);
    return foreign.empty() ? Passed()
                           : Failed(child + L": inherited entry " + foreign +
                                    L" comes from no entry of its physical parent " + parent);
}

} // namespace tkr::selftest
