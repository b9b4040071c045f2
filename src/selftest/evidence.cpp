#include "selftest/evidence.h"

#include "registry/tree_key.h"
#include "registry/walk.h"
#include "selftest/dacl_compare.h"

#include <tuple>

namespace tkr::selftest {

std::wstring InTrees(const std::wstring& path) {
    return Join(kScratch, path);
}

std::wstring Text(const Snapshot& snapshot, const std::wstring& path) {
    const auto found = snapshot.find(path);
    return found == snapshot.end() ? L"not present" : found->second;
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

// Whether the check said of a key above `path` that the keys below it cannot be listed (a table
// key that grants administrators too little to be entered before it is repaired).
bool BelowUnlisted(const std::wstring& output, const std::wstring& path) {
    constexpr std::wstring_view kUnlisted = L"SKIPPED: the keys below it cannot be listed";
    for (size_t slash = path.find(L'\\'); slash != std::wstring::npos;
         slash = path.find(L'\\', slash + 1)) {
        const std::wstring above = L"Check \"" + path.substr(0, slash) + L"\" ...\n";
        const size_t at = output.find(above);
        const size_t next = at == std::wstring::npos ? at : output.find(L'\n', at + above.size());
        if (next != std::wstring::npos &&
            output.compare(next + 1, kUnlisted.size(), kUnlisted) == 0) {
            return true;
        }
    }
    return false;
}

Outcome Found(const ToolRun& check, const std::wstring& result,
              std::span<const wchar_t* const> paths) {
    for (const wchar_t* name : paths) {
        const std::wstring path = InTrees(name);
        const std::wstring said = ResultOf(check.output, L"Check", path);
        if (said.empty() && BelowUnlisted(check.output, path)) {
            continue; // the check said why it could not reach it
        }
        if (said.empty()) {
            return Failed(path + L": the check did not reach it");
        }
        if (!said.starts_with(result)) {
            return Failed(path + L": the check said \"" + said + L"\"");
        }
    }
    return Passed();
}

std::set<std::wstring> ComeAndGone(const Snapshot& before, const Snapshot& after, Report& report) {
    std::set<std::wstring> changed;
    const std::wstring sentinel = kSentinel;
    const std::wstring twin = kTwin;
    for (const auto& [from, to, said] :
         {std::tuple{&before, &after, L"appeared"}, std::tuple{&after, &before, L"disappeared"}}) {
        std::wstring names;
        for (const auto& [path, security] : *to) {
            const bool mine = path == sentinel || path.starts_with(sentinel + L"\\") ||
                              path == twin || path.starts_with(twin + L"\\");
            if (!mine && from->count(path) == 0) {
                changed.insert(path);
                names += (names.empty() ? L"" : L", ") + path;
            }
        }
        if (!names.empty()) {
            report.Line(L"INFO: while the tool ran, keys outside the trees " + std::wstring(said) +
                        L" (not compared): " + names);
        }
    }
    return changed;
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

} // namespace tkr::selftest
