#include "selftest/dacl_compare.h"

#include "platform/unique.h"
#include "security/key_security.h"

#include <sddl.h>

#include <algorithm>
#include <span>
#include <tuple>
#include <vector>

namespace tkr::selftest {
namespace {

using Entry = std::span<const BYTE>;

std::vector<Entry> Entries(const ACL* acl) {
    std::vector<Entry> entries;
    if (acl) {
        ForEachAce(acl, [&](const BYTE* ace, WORD size) { entries.emplace_back(ace, size); });
    }
    return entries;
}

bool Same(Entry a, Entry b) {
    return std::ranges::equal(a, b);
}

// A DACL with these entries and flags as SDDL ("D:AI(...)").
std::wstring Sddl(const std::vector<Entry>& entries, SECURITY_DESCRIPTOR_CONTROL flags) {
    DWORD size = sizeof(ACL);
    for (Entry entry : entries) {
        size += static_cast<DWORD>(entry.size());
    }
    std::vector<BYTE> acl((size + 3) & ~3u);
    SECURITY_DESCRIPTOR descriptor;
    LPWSTR text = nullptr;
    bool built = ::InitializeAcl(reinterpret_cast<ACL*>(acl.data()), static_cast<DWORD>(acl.size()),
                                 ACL_REVISION_DS) &&
                 ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    for (Entry entry : entries) {
        built =
            built && ::AddAce(reinterpret_cast<ACL*>(acl.data()), ACL_REVISION_DS, MAXDWORD,
                              const_cast<BYTE*>(entry.data()), static_cast<DWORD>(entry.size()));
    }
    built =
        built &&
        ::SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<ACL*>(acl.data()), FALSE) &&
        ::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                       flags) &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            &descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
    if (!built) {
        return L"(an entry of an unknown kind)";
    }
    const UniqueLocalText owned(text);
    return text;
}

std::wstring FirstDifference(const std::vector<Entry>& tool, const std::vector<Entry>& windows) {
    size_t i = 0;
    while (i < tool.size() && i < windows.size() && Same(tool[i], windows[i])) {
        ++i;
    }
    const std::wstring at = L" as inherited entry " + std::to_wstring(i + 1);
    auto holds = [](const std::vector<Entry>& in, Entry entry) {
        return std::ranges::any_of(in, [&](Entry e) { return Same(e, entry); });
    };
    if (i < windows.size() && !holds(tool, windows[i])) {
        return L"missing " + EntrySddl(windows[i]) + L", which Windows has" + at;
    }
    if (i < tool.size() && !holds(windows, tool[i])) {
        return L"extra " + EntrySddl(tool[i]) + at;
    }
    if (i < tool.size() && i < windows.size()) {
        return L"entries in another order: " + EntrySddl(tool[i]) + at + L", where Windows has " +
               EntrySddl(windows[i]);
    }
    return L"an entry repeated: " + EntrySddl(i < tool.size() ? tool[i] : windows[i]) + at;
}

bool Inherited(Entry entry) {
    return (reinterpret_cast<const ACE_HEADER*>(entry.data())->AceFlags & INHERITED_ACE) != 0;
}

// Whether a DACL's own entries are the repair's two (Everyone: read, Administrators: full
// control, each with `flags`), as the tool writes them or as Windows may keep them: with the
// rights mapped, or each split into one for the key and an inherit-only one for those below.
bool OwnAreTheRepairs(const std::vector<Entry>& own, BYTE flags) {
    struct Wanted {
        const SID& sid;
        ACCESS_MASK generic;
    };
    size_t matched = 0;
    for (const Wanted wanted :
         {Wanted{EveryoneSid(), GENERIC_READ}, {AdministratorsSid(), GENERIC_ALL}}) {
        std::vector<std::pair<BYTE, ACCESS_MASK>> found; // flags and rights
        for (Entry entry : own) {
            const SID* sid = AceSid(entry.data(), static_cast<WORD>(entry.size()));
            if (entry[0] == ACCESS_ALLOWED_ACE_TYPE && sid && SidEquals(sid, wanted.sid) &&
                entry.size() >= sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) {
                found.emplace_back(entry[1],
                                   reinterpret_cast<const ACCESS_ALLOWED_ACE*>(entry.data())->Mask);
            }
        }
        const ACCESS_MASK mapped = MapGenericKeyRights(wanted.generic);
        const auto split = std::vector<std::pair<BYTE, ACCESS_MASK>>{
            {BYTE{0}, mapped}, {static_cast<BYTE>(flags | INHERIT_ONLY_ACE), wanted.generic}};
        std::ranges::sort(found);
        const bool whole = found.size() == 1 && found[0].first == flags &&
                           (found[0].second == wanted.generic || found[0].second == mapped);
        // Only an entry that applies to the key and is inherited can be split.
        const bool splits = (flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) != 0 &&
                            (flags & INHERIT_ONLY_ACE) == 0;
        if (!whole && (!splits || found != split)) {
            return false;
        }
        matched += found.size();
    }
    return matched == own.size();
}

} // namespace

std::wstring EntrySddl(std::span<const BYTE> entry) {
    const std::wstring dacl = Sddl({entry}, 0);
    return dacl.starts_with(L"D:") ? dacl.substr(2) : dacl;
}

std::wstring DaclDifference(const Bytes& tool, const Bytes& windows, DWORD inheritanceFlags) {
    const auto flags = static_cast<BYTE>(inheritanceFlags);
    DescriptorParts toolParts;
    DescriptorParts windowsParts;
    if (!ParseDescriptor(tool, toolParts)) {
        return L"the tool's descriptor cannot be read";
    }
    if (!ParseDescriptor(windows, windowsParts)) {
        return L"Windows' descriptor cannot be read";
    }
    constexpr SECURITY_DESCRIPTOR_CONTROL kFlags = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    const SECURITY_DESCRIPTOR_CONTROL toolFlags = toolParts.control & kFlags;
    const SECURITY_DESCRIPTOR_CONTROL windowsFlags = windowsParts.control & kFlags;
    const std::vector<Entry> toolEntries = Entries(toolParts.dacl);
    const std::vector<Entry> windowsEntries = Entries(windowsParts.dacl);
    // Inherited entries compare byte for byte, in order (an explicit copy of one is no match);
    // each side's own entries must be the repair's.
    std::vector<Entry> toolInherited;
    std::vector<Entry> windowsInherited;
    std::vector<Entry> toolOwn;
    std::vector<Entry> windowsOwn;
    for (auto [from, inherited, own] : {std::tuple{&toolEntries, &toolInherited, &toolOwn},
                                        {&windowsEntries, &windowsInherited, &windowsOwn}}) {
        for (Entry entry : *from) {
            (Inherited(entry) ? inherited : own)->push_back(entry);
        }
    }
    std::wstring difference;
    if (!std::ranges::equal(toolInherited, windowsInherited, Same)) {
        difference = FirstDifference(toolInherited, windowsInherited);
    } else if (toolFlags != windowsFlags) {
        difference = L"the DACL's flags differ";
    } else if (!OwnAreTheRepairs(toolOwn, flags)) {
        difference = L"its own entries are not the repair's two";
    } else if (!OwnAreTheRepairs(windowsOwn, flags)) {
        difference = L"Windows' own entries are not the repair's two";
    } else {
        return L"";
    }
    return difference + L"; the tool's " + Sddl(toolEntries, toolFlags) + L", Windows' " +
           Sddl(windowsEntries, windowsFlags);
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

std::wstring EntryFromElsewhere(const Bytes& child, const Bytes& parent) {
    DescriptorParts childParts;
    DescriptorParts parentParts;
    if (!ParseDescriptor(child, childParts) || !ParseDescriptor(parent, parentParts) ||
        !childParts.dacl) {
        return L"";
    }
    SID_IDENTIFIER_AUTHORITY creatorAuthority = SECURITY_CREATOR_SID_AUTHORITY;
    SID creatorOwner{SID_REVISION, 1, creatorAuthority, {SECURITY_CREATOR_OWNER_RID}};
    SID creatorGroup{SID_REVISION, 1, creatorAuthority, {SECURITY_CREATOR_GROUP_RID}};
    std::vector<const SID*> givers;
    if (parentParts.dacl) {
        ForEachAce(parentParts.dacl, [&](const BYTE* ace, WORD size) {
            const SID* sid = AceSid(ace, size);
            if (!sid || !(reinterpret_cast<const ACE_HEADER*>(ace)->AceFlags &
                          (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))) {
                return;
            }
            givers.push_back(sid);
            if (SidEquals(sid, creatorOwner) && childParts.owner) {
                givers.push_back(childParts.owner);
            } else if (SidEquals(sid, creatorGroup) && childParts.group) {
                givers.push_back(childParts.group);
            }
        });
    }
    std::wstring found;
    ForEachAce(childParts.dacl, [&](const BYTE* ace, WORD size) {
        const SID* sid = AceSid(ace, size);
        if (!found.empty() ||
            !(reinterpret_cast<const ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE)) {
            return;
        }
        const bool given = sid && std::ranges::any_of(givers, [&](const SID* giver) {
                               return SidEquals(sid, *giver);
                           });
        if (!given) {
            found = EntrySddl({ace, size});
        }
    });
    return found;
}

} // namespace tkr::selftest
