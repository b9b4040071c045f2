// Windows' propagation of a DACL down a tree of keys, by the rules its documentation gives for
// containers ("ACE inheritance rules", "automatic propagation of inheritable ACEs"), built with
// Windows' own ACL calls on the fake's SDDL: the other side of what the self-test compares.
#include "fake_win.h"

#include "registry.h"

#include <sddl.h>

#include <vector>

namespace {

struct Ace {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    std::vector<BYTE> sid;
};

constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// The entries of an ACL of allowed and denied entries.
std::vector<Ace> AcesOf(PACL dacl) {
    std::vector<Ace> aces;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        ::GetAce(dacl, i, &entry);
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        const auto* sid = reinterpret_cast<const BYTE*>(&allowed->SidStart);
        aces.push_back({allowed->Header.AceType,
                        allowed->Header.AceFlags,
                        allowed->Mask,
                        {sid, sid + ::GetLengthSid(const_cast<BYTE*>(sid))}});
    }
    return aces;
}

std::vector<Ace> AcesOf(const std::vector<BYTE>& descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(const_cast<BYTE*>(descriptor.data()), &present, &dacl, &defaulted);
    return AcesOf(dacl);
}

std::vector<Ace> OwnOf(const std::vector<Ace>& aces) {
    std::vector<Ace> own;
    for (const Ace& ace : aces) {
        if ((ace.flags & INHERITED_ACE) == 0) {
            own.push_back(ace);
        }
    }
    return own;
}

PSID Sid(const std::vector<BYTE>& sid) {
    return const_cast<BYTE*>(sid.data());
}

// What a subkey inherits from its parent's entries; `owner` and `group` are the subkey's.
std::vector<Ace> Inherited(const std::vector<Ace>& parent, PSID owner, PSID group) {
    SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
    SID creatorOwner{SID_REVISION, 1, creator, {SECURITY_CREATOR_OWNER_RID}};
    SID creatorGroup{SID_REVISION, 1, creator, {SECURITY_CREATOR_GROUP_RID}};
    GENERIC_MAPPING keyRights{KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    std::vector<Ace> inherited;
    for (const Ace& ace : parent) {
        const BYTE flags = ace.flags;
        if ((flags & CONTAINER_INHERIT_ACE) == 0) {
            // For objects only: passed through a container as inherit-only, unless it stops here.
            if ((flags & OBJECT_INHERIT_ACE) != 0 && (flags & NO_PROPAGATE_INHERIT_ACE) == 0) {
                inherited.push_back(
                    {ace.type,
                     static_cast<BYTE>(OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE),
                     ace.mask, ace.sid});
            }
            continue;
        }
        const PSID stand = ::EqualSid(Sid(ace.sid), &creatorOwner)   ? owner
                           : ::EqualSid(Sid(ace.sid), &creatorGroup) ? group
                                                                     : nullptr;
        // The entry that applies to the subkey: specific rights, the creator's real SID.
        ACCESS_MASK mapped = ace.mask;
        ::MapGenericMask(&mapped, &keyRights);
        std::vector<BYTE> sid = ace.sid;
        if (stand) {
            const auto* bytes = static_cast<const BYTE*>(stand);
            sid.assign(bytes, bytes + ::GetLengthSid(stand));
        }
        const Ace effective{ace.type, INHERITED_ACE, mapped, sid};
        if ((flags & NO_PROPAGATE_INHERIT_ACE) != 0) {
            inherited.push_back(effective);
        } else if (stand || mapped != ace.mask) {
            // Split: the specific one for the key, the original inherit-only for those below.
            inherited.push_back(effective);
            inherited.push_back(
                {ace.type, static_cast<BYTE>((flags & kInherit) | INHERIT_ONLY_ACE | INHERITED_ACE),
                 ace.mask, ace.sid});
        } else {
            inherited.push_back(
                {ace.type, static_cast<BYTE>((flags & kInherit) | INHERITED_ACE), ace.mask, sid});
        }
    }
    return inherited;
}

// The key's SDDL with this DACL: its owner and group kept.
std::wstring WithDacl(const std::wstring& sddl, const std::vector<Ace>& aces, bool isProtected) {
    std::vector<BYTE> acl(0xFFFC);
    auto* list = reinterpret_cast<ACL*>(acl.data());
    ::InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION);
    for (const Ace& ace : aces) {
        if (ace.type == ACCESS_DENIED_ACE_TYPE) {
            ::AddAccessDeniedAceEx(list, ACL_REVISION, ace.flags, ace.mask, Sid(ace.sid));
        } else {
            ::AddAccessAllowedAceEx(list, ACL_REVISION, ace.flags, ace.mask, Sid(ace.sid));
        }
    }
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE);
    ::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                   SE_DACL_AUTO_INHERITED | (isProtected ? SE_DACL_PROTECTED : 0));
    LPWSTR text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        &descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
    const std::wstring dacl = text;
    ::LocalFree(text);
    return SddlPart(sddl, L'O') + SddlPart(sddl, L'G') + dacl;
}

bool IsProtected(const std::vector<BYTE>& descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(const_cast<BYTE*>(descriptor.data()), &control, &revision);
    return (control & SE_DACL_PROTECTED) != 0;
}

// Gives the key its own entries and what its parent passes down, then does the same below it.
void Propagate(const std::wstring& path, std::vector<Ace> own, bool isProtected) {
    FakeKey& key = g_fake->keys.at(path);
    const std::vector<BYTE> descriptor = tkrtest::DescriptorFromSddl(key.sddl);
    if (!isProtected) {
        const size_t slash = path.rfind(L'\\');
        const std::wstring parent =
            slash == std::wstring::npos ? L"HKLM\\SOFTWARE\\Classes" : path.substr(0, slash);
        BOOL defaulted = FALSE;
        PSID owner = nullptr;
        PSID group = nullptr;
        ::GetSecurityDescriptorOwner(const_cast<BYTE*>(descriptor.data()), &owner, &defaulted);
        ::GetSecurityDescriptorGroup(const_cast<BYTE*>(descriptor.data()), &group, &defaulted);
        const std::vector<Ace> passed = Inherited(
            AcesOf(tkrtest::DescriptorFromSddl(g_fake->keys.at(parent).sddl)), owner, group);
        own.insert(own.end(), passed.begin(), passed.end());
    }
    key.sddl = WithDacl(key.sddl, own, isProtected);
    for (const std::wstring& child : key.children) {
        const std::wstring below = path + L"\\" + child;
        const std::vector<BYTE> childDescriptor =
            tkrtest::DescriptorFromSddl(g_fake->keys.at(below).sddl);
        if (!IsProtected(childDescriptor)) {
            Propagate(below, OwnOf(AcesOf(childDescriptor)), false);
        }
    }
}

} // namespace

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

void PropagateDacl(const std::wstring& path, PACL dacl, bool isProtected) {
    Propagate(path, OwnOf(AcesOf(dacl)), isProtected);
}
