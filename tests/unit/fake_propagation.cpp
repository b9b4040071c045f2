// Windows' propagation of a DACL down a tree of keys, by the rules its documentation gives for
// containers ("ACE inheritance rules", "automatic propagation of inheritable ACEs"), on the fake's
// SDDL texts: the other side of what the self-test compares.
#include "fake_win.h"

#include <vector>

namespace {

// An entry's fields as SDDL writes them: "(A;CIIO;GA;;;CO)".
struct Ace {
    std::wstring type, flags, rights, sid;
    bool Has(std::wstring_view flag) const {
        for (size_t i = 0; i + 1 < flags.size(); i += 2) {
            if (flags.compare(i, 2, flag) == 0) {
                return true;
            }
        }
        return false;
    }
    std::wstring Text() const {
        return L"(" + type + L";" + flags + L";" + rights + L";;;" + sid + L")";
    }
};

std::vector<Ace> AcesOf(const std::wstring& sddl) {
    std::vector<Ace> aces;
    for (const std::wstring& entry : SddlEntries(sddl)) {
        std::vector<std::wstring> fields;
        for (size_t start = 1, end; (end = entry.find_first_of(L";)", start)) != std::wstring::npos;
             start = end + 1) {
            fields.push_back(entry.substr(start, end - start));
        }
        aces.push_back({fields[0], fields[1], fields[2], fields[5]});
    }
    return aces;
}

// What a subkey inherits from its parent's entries; `owner` and `group` are the subkey's.
std::wstring Inherited(const std::vector<Ace>& parent, const std::wstring& owner,
                       const std::wstring& group) {
    std::wstring inherited;
    for (const Ace& ace : parent) {
        if (!ace.Has(L"CI")) {
            // For objects only: passed through a container as inherit-only, unless it stops here.
            if (ace.Has(L"OI") && !ace.Has(L"NP")) {
                inherited += Ace{ace.type, L"OIIOID", ace.rights, ace.sid}.Text();
            }
            continue;
        }
        // The entry that applies to the subkey: key rights for generic ones, the creator's SID.
        const std::wstring sid = ace.sid == L"CO" ? owner : ace.sid == L"CG" ? group : ace.sid;
        std::wstring rights = ace.rights;
        if (rights.size() == 2 && rights[0] == L'G') {
            rights[0] = L'K';
        }
        const std::wstring effective = Ace{ace.type, L"ID", rights, sid}.Text();
        const std::wstring further = ace.Has(L"OI") ? L"OICI" : L"CI";
        if (ace.Has(L"NP")) {
            inherited += effective;
        } else if (sid != ace.sid || rights != ace.rights) {
            // Split: the specific one for the key, the original inherit-only for those below.
            inherited += effective + Ace{ace.type, further + L"IOID", ace.rights, ace.sid}.Text();
        } else {
            inherited += Ace{ace.type, further + L"ID", rights, sid}.Text();
        }
    }
    return inherited;
}

} // namespace

std::vector<std::wstring> SddlEntries(const std::wstring& sddl) {
    std::vector<std::wstring> entries;
    const std::wstring dacl = SddlPart(sddl, L'D');
    for (size_t open = dacl.find(L'('); open != std::wstring::npos;
         open = dacl.find(L'(', open + 1)) {
        entries.push_back(dacl.substr(open, dacl.find(L')', open) + 1 - open));
    }
    return entries;
}

std::wstring SddlPart(const std::wstring& sddl, wchar_t tag) {
    const size_t start = sddl.find(std::wstring{tag, L':'});
    if (start == std::wstring::npos) {
        return L"";
    }
    size_t end = sddl.size();
    for (const wchar_t* next : {L"O:", L"G:", L"D:", L"S:"}) {
        const size_t at = sddl.find(next, start + 2);
        end = at != std::wstring::npos && at < end ? at : end;
    }
    return sddl.substr(start, end - start);
}

void PropagateDacl(const std::wstring& path, const std::wstring& own, bool isProtected) {
    FakeKey& key = g_fake->keys.at(path);
    const std::wstring owner = SddlPart(key.sddl, L'O');
    const std::wstring group = SddlPart(key.sddl, L'G');
    std::wstring dacl =
        std::wstring(L"D:") + (isProtected ? L"P" : L"") + (g_fake->propagates ? L"AI" : L"") + own;
    if (g_fake->propagates && !isProtected) {
        const size_t slash = path.rfind(L'\\');
        const std::wstring parent =
            slash == std::wstring::npos ? L"HKLM\\SOFTWARE\\Classes" : path.substr(0, slash);
        dacl += Inherited(AcesOf(g_fake->keys.at(parent).sddl), owner.substr(2), group.substr(2));
    }
    key.sddl = owner + group + dacl;
    for (const std::wstring& child :
         g_fake->propagates ? key.children : std::vector<std::wstring>{}) {
        const std::wstring below = path + L"\\" + child;
        const std::wstring& sddl = g_fake->keys.at(below).sddl;
        if (!SddlPart(sddl, L'D').starts_with(L"D:P")) {
            std::wstring childOwn;
            for (const Ace& ace : AcesOf(sddl)) {
                childOwn += ace.Has(L"ID") ? L"" : ace.Text();
            }
            PropagateDacl(below, childOwn, false);
        }
    }
}
