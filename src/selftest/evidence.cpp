#include "selftest/evidence.h"

#include "registry/tree_key.h"
#include "registry/walk.h"
#include "selftest/dacl_compare.h"

namespace tkr::selftest {

std::wstring InTrees(const std::wstring& path) {
    return Join(kScratch, path);
}

// Owner Administrators, and as the DACL's own entries exactly the repair's two, with container
// inherit (generic rights or the key rights they stand for, in either order).
bool IsRepaired(const std::wstring& sddl) {
    if (!sddl.starts_with(L"O:BAD:")) {
        return false;
    }
    std::vector<std::wstring> own;
    for (size_t open = sddl.find(L'('); open != std::wstring::npos;
         open = sddl.find(L'(', open + 1)) {
        const std::wstring entry = sddl.substr(open + 1, sddl.find(L')', open) - open - 1);
        const size_t flags = entry.find(L';') + 1;
        const std::wstring entryFlags = entry.substr(flags, entry.find(L';', flags) - flags);
        bool inherited = false;
        for (size_t i = 0; i + 1 < entryFlags.size(); i += 2) {
            inherited |= entryFlags.compare(i, 2, L"ID") == 0;
        }
        if (!inherited) {
            own.push_back(entry);
        }
    }
    auto is = [](const std::wstring& entry, const wchar_t* generic, const wchar_t* mapped,
                 const wchar_t* sid) {
        return entry == L"A;CI;" + std::wstring(generic) + L";;;" + sid ||
               entry == L"A;CI;" + std::wstring(mapped) + L";;;" + sid;
    };
    auto everyone = [&](const std::wstring& e) { return is(e, L"GR", L"KR", L"WD"); };
    auto admins = [&](const std::wstring& e) { return is(e, L"GA", L"KA", L"BA"); };
    return own.size() == 2 &&
           ((everyone(own[0]) && admins(own[1])) || (admins(own[0]) && everyone(own[1])));
}

std::wstring Text(const Snapshot& snapshot, const std::wstring& path) {
    const auto found = snapshot.find(path);
    return found == snapshot.end() ? L"not present" : found->second;
}

LSTATUS ReadDescriptorAt(HKEY root, const std::wstring& path, const ProcessToken& token,
                         Bytes& descriptor) {
    UniqueKey key;
    LSTATUS status = OpenPath(root, path, READ_CONTROL, key, &token);
    return status == ERROR_SUCCESS
               ? ReadKeySecurity(key.get(),
                                 OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION,
                                 descriptor)
               : status;
}

bool HasInheritedEntry(const Bytes& descriptor) {
    DescriptorParts parts;
    bool inherited = false;
    if (ParseDescriptor(descriptor, parts) && parts.dacl) {
        ForEachAce(parts.dacl, [&](const BYTE* ace, WORD) {
            inherited |= (reinterpret_cast<const ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE) != 0;
        });
    }
    return inherited;
}

// The fifteen trees as HKEY_CLASSES_ROOT shows them.
Snapshot Trees(const ProcessToken& token) {
    Snapshot trees;
    for (const wchar_t* table : DocumentTypeKeys) {
        AddSnapshot(trees, TakeSnapshot(HKEY_CLASSES_ROOT, table, token));
    }
    return trees;
}

// Keys outside the trees that a faulty tool could reach: the seeded sentinel and twin, and every
// other key directly below HKEY_CLASSES_ROOT.
Snapshot Outside(const ProcessToken& token) {
    Snapshot outside = TakeSnapshot(HKEY_CLASSES_ROOT, kSentinel, token);
    AddSnapshot(outside, TakeSnapshot(HKEY_CLASSES_ROOT, kTwin, token));
    for (const std::wstring& name : ReadSubkeyNames(HKEY_CLASSES_ROOT)) {
        bool mine = SameRegistryName(name, kSentinel) || SameRegistryName(name, kTwin);
        for (const wchar_t* table : DocumentTypeKeys) {
            mine |= SameRegistryName(name, table);
        }
        if (!mine) {
            outside[name] = SecurityTextAt(HKEY_CLASSES_ROOT, name, token);
        }
    }
    return outside;
}

// The checks of one key the repair must have taken: each named key repaired, none taken for a
// link.
Outcome Repaired(const ToolRun& repair, const Snapshot& after,
                 std::initializer_list<const wchar_t*> paths) {
    for (const wchar_t* name : paths) {
        const std::wstring path = InTrees(name);
        if (IsRepaired(Text(after, path))) {
            continue;
        }
        const std::wstring result = ResultOf(repair.output, L"Fix", path);
        return Failed(path + L": " +
                      (result.empty() ? std::wstring(L"the repair did not reach it")
                       : result == kLinkSkipped
                           ? std::wstring(L"the repair took it for a registry link")
                           : L"the repair said \"" + result + L"\"") +
                      L"; " + Text(after, path));
    }
    return Passed();
}

// The user's merged table key and its child, the machine's and its child.
std::vector<Physical> MergedKeys(const Seeds& seeds) {
    return {{seeds.UserClasses(), kUserClasses, kMergedTable},
            {seeds.UserClasses(), kUserClasses, Join(kMergedTable, kUserChild)},
            {seeds.MachineClasses(), kMachineClasses, kMergedTable},
            {seeds.MachineClasses(), kMachineClasses, Join(kMergedTable, kMachineChild)}};
}

// The merged view: the user's key and its child, and the machine's child shown below the user's
// key, all repaired; the machine's child with no entry inherited from the user's key.
Outcome Merged(bool shown, const std::wstring& seen, const std::vector<Physical>& keys,
               const std::vector<std::wstring>& before, const ProcessToken& token, Report& report) {
    if (!shown) {
        return NotShown(L"this system does not merge the user's classes into HKEY_CLASSES_ROOT "
                        L"(below HKEY_CLASSES_ROOT\\" +
                        std::wstring(kMergedTable) + L" it shows " + seen + L")");
    }
    std::vector<std::wstring> after;
    std::wstring changed;
    std::wstring unchanged;
    for (size_t i = 0; i < keys.size(); ++i) {
        after.push_back(SecurityTextAt(keys[i].root, keys[i].path, token));
        (after[i] != before[i] ? changed : unchanged) += (L", " + keys[i].Name());
    }
    report.Line(L"INFO: in the merged view the repair changed " +
                (changed.empty() ? L"none" : changed.substr(2)) + L"; it left " +
                (unchanged.empty() ? L"none" : unchanged.substr(2)));
    // keys: the user's key, its child, the machine's key, the machine's child.
    for (size_t i : {0u, 1u, 3u}) {
        if (!IsRepaired(after[i])) {
            return Failed(keys[i].Name() + L": not repaired; " + after[i]);
        }
    }
    Bytes child;
    Bytes parent;
    if (ReadDescriptorAt(keys[3].root, keys[3].path, token, child) != ERROR_SUCCESS ||
        ReadDescriptorAt(keys[2].root, keys[2].path, token, parent) != ERROR_SUCCESS) {
        return Failed(keys[3].Name() + L": its security or its parent's cannot be read");
    }
    const std::wstring foreign = EntryFromElsewhere(child, parent);
    return foreign.empty() ? Passed()
                           : Failed(keys[3].Name() + L": inherited entry " + foreign +
                                    L" comes from no entry of its physical parent " +
                                    keys[2].Name() + L" (" + after[2] + L")");
}

} // namespace tkr::selftest
