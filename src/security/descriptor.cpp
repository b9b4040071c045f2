#include "security/descriptor.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace tkr {
namespace {

constexpr BYTE kInheritFlags =
    OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;
constexpr size_t kMaxAclSize = 0xFFFC; // AclSize is a WORD, kept a multiple of 4
constexpr size_t kSidHeader = offsetof(SID, SubAuthority);
constexpr BYTE kMaxSubAuthorities = 15;
// Where the mask stands in an entry of every known type.
constexpr size_t kMaskAt = sizeof(ACE_HEADER);
// The ACL revisions from which the compound and the object types are valid, and the one compound
// layout there is (impersonation).
constexpr BYTE kCompoundRevision = 3;
constexpr BYTE kObjectRevision = 4;
constexpr WORD kCompoundImpersonation = 1;
// An entry too small to hold a mask grants nothing, and as the last of an ACL it would make the
// ACL one Windows refuses (a header that ends the ACL): it is not passed on.
constexpr size_t kSmallestPassedOn = kMaskAt + sizeof(ACCESS_MASK);

template <typename T> T Read(const BYTE* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Whether `need` bytes from `offset` lie within `size`: compared so that nothing can wrap, as an
// offset near 4 GiB would on a 32-bit build.
constexpr bool Within(size_t offset, size_t need, size_t size) {
    return offset <= size && need <= size - offset;
}

size_t SidSize(const SID* sid) {
    return kSidHeader + Read<BYTE>(reinterpret_cast<const BYTE*>(sid) + 1) * size_t{4};
}

// The size of a valid SID (revision 1, at most 15 sub-authorities) that lies whole within the
// `available` bytes at `at`; 0 when there is none.
size_t WholeSidSize(const BYTE* at, size_t available) {
    if (available < kSidHeader || at[0] != SID_REVISION || at[1] > kMaxSubAuthorities) {
        return 0;
    }
    const size_t size = kSidHeader + at[1] * size_t{4};
    return size <= available ? size : 0;
}

// Where the SID stands in an entry, by its type: after the mask, or in the object types after
// their flags and the GUIDs those flags announce. 0 for a type whose layout is not known (the
// compound type and any newer one): such an entry is copied as it stands, and only its header
// is read.
size_t SidOffset(const BYTE* ace, size_t size) {
    switch (ace[0]) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
    case 18: // resource attribute
    case 19: // scoped policy id
        return kMaskAt + sizeof(ACCESS_MASK);
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE: {
        constexpr size_t kFlagsAt = kMaskAt + sizeof(ACCESS_MASK);
        if (size < kFlagsAt + sizeof(DWORD)) {
            return 0;
        }
        const auto flags = Read<DWORD>(ace + kFlagsAt);
        return kFlagsAt + sizeof(DWORD) + ((flags & ACE_OBJECT_TYPE_PRESENT) != 0 ? 16 : 0) +
               ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0 ? 16 : 0);
    }
    default:
        return 0;
    }
}

bool KnownType(BYTE type) {
    return type <= 19 && type != ACCESS_ALLOWED_COMPOUND_ACE_TYPE;
}

// The mask of an entry of a known type that is large enough to hold one.
bool HasMask(const BYTE* ace, size_t size) {
    return KnownType(ace[0]) && size >= kMaskAt + sizeof(ACCESS_MASK);
}

// Whether a SID that is valid (revision 1, at most 15 sub-authorities) starts at `offset` of an
// entry of `size` bytes and lies whole inside it.
bool SidInside(const BYTE* ace, size_t size, size_t offset) {
    return Within(offset, kSidHeader, size) && WholeSidSize(ace + offset, size - offset) != 0;
}

// Whether an entry at `at` of an ACL of `aclSize` bytes and `revision` is one Windows takes for
// whole (its ACL validation): its header before the ACL's end, its size even and inside the ACL;
// the basic types (allowed, denied, audit, alarm) a multiple of 4 with their SID inside; the
// compound type (ACL revision 3 on) with the impersonation layout and both SIDs inside; the object
// types (revision 4 on) a multiple of 4 with their GUIDs and SID inside. Of any other type only
// the header counts: Windows keeps such entries, and the tool copies them as they stand.
bool WholeAce(const BYTE* ace, size_t at, size_t aclSize, BYTE revision) {
    if (!Within(at, sizeof(ACE_HEADER) + 1, aclSize)) {
        return false;
    }
    const auto size = Read<WORD>(ace + offsetof(ACE_HEADER, AceSize));
    if (size % 2 != 0 || !Within(at, size, aclSize)) {
        return false;
    }
    const BYTE type = ace[0];
    if (type <= SYSTEM_ALARM_ACE_TYPE) {
        return size % 4 == 0 && SidInside(ace, size, kMaskAt + sizeof(ACCESS_MASK));
    }
    if (type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE) {
        constexpr size_t kFirstSid = kMaskAt + sizeof(ACCESS_MASK) + 2 * sizeof(WORD);
        if (revision < kCompoundRevision || size % 4 != 0 || !Within(kMaskAt, 8, size) ||
            Read<WORD>(ace + kMaskAt + sizeof(ACCESS_MASK)) != kCompoundImpersonation ||
            !SidInside(ace, size, kFirstSid)) {
            return false;
        }
        return SidInside(ace, size,
                         kFirstSid + SidSize(reinterpret_cast<const SID*>(ace + kFirstSid)));
    }
    if (type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && type <= SYSTEM_ALARM_OBJECT_ACE_TYPE) {
        const size_t sidAt = SidOffset(ace, size);
        return revision >= kObjectRevision && size % 4 == 0 && sidAt != 0 &&
               SidInside(ace, size, sidAt);
    }
    return true;
}

// The SID at `offset` within the bytes, if a whole one is there.
const SID* SidAt(std::span<const BYTE> bytes, DWORD offset) {
    if (offset == 0 || !Within(offset, kSidHeader, bytes.size()) ||
        WholeSidSize(bytes.data() + offset, bytes.size() - offset) == 0) {
        return nullptr;
    }
    return reinterpret_cast<const SID*>(bytes.data() + offset);
}

// The ACL at `offset`, if Windows would take it for valid: revision 2 to 4, a size that is even
// and holds the header and lies within the bytes, and every entry whole (WholeAce).
const ACL* AclAt(std::span<const BYTE> bytes, DWORD offset) {
    if (offset == 0 || offset % 4 != 0 || !Within(offset, sizeof(ACL), bytes.size())) {
        return nullptr;
    }
    const BYTE* const start = bytes.data() + offset;
    const auto revision = Read<BYTE>(start + offsetof(ACL, AclRevision));
    const auto size = Read<WORD>(start + offsetof(ACL, AclSize));
    const auto count = Read<WORD>(start + offsetof(ACL, AceCount));
    if (revision < MIN_ACL_REVISION || revision > MAX_ACL_REVISION || size < sizeof(ACL) ||
        size % 2 != 0 || !Within(offset, size, bytes.size())) {
        return nullptr;
    }
    size_t at = sizeof(ACL);
    for (WORD i = 0; i < count; ++i) {
        if (!WholeAce(start + at, at, size, revision)) {
            return nullptr;
        }
        at += Read<WORD>(start + at + offsetof(ACE_HEADER, AceSize));
    }
    return reinterpret_cast<const ACL*>(start);
}

// CREATOR OWNER (S-1-3-0) or CREATOR GROUP (S-1-3-1): 0 or 1; -1 for any other SID or none.
int CreatorSid(const SID* sid) {
    constexpr BYTE kCreator[] = {SID_REVISION, 1, 0, 0, 0, 0, 0, 3};
    if (sid == nullptr || std::memcmp(sid, kCreator, sizeof kCreator) != 0) {
        return -1;
    }
    const auto rid = Read<DWORD>(reinterpret_cast<const BYTE*>(sid) + sizeof kCreator);
    return rid <= SECURITY_CREATOR_GROUP_RID ? static_cast<int>(rid) : -1;
}

// The entry with new flags, and (when `specific`) key rights for generic ones and the real SID
// for a creator SID, whatever follows the SID (an object or callback entry's data) kept. Returns
// false when the entry would grow past the size an entry can have.
bool AppendAce(const BYTE* ace, WORD size, BYTE flags, bool specific, const SID* replacement,
               Bytes& out) {
    const size_t start = out.size();
    const SID* sid = AceSid(ace, size);
    if (specific && replacement != nullptr && sid != nullptr) {
        const size_t sidAt = static_cast<size_t>(reinterpret_cast<const BYTE*>(sid) - ace);
        const size_t oldSize = SidSize(sid);
        const size_t newSize = SidSize(replacement);
        const size_t total = size - oldSize + newSize;
        if (total > kMaxAclSize) {
            return false;
        }
        out.insert(out.end(), ace, ace + sidAt);
        out.insert(out.end(), reinterpret_cast<const BYTE*>(replacement),
                   reinterpret_cast<const BYTE*>(replacement) + newSize);
        out.insert(out.end(), ace + sidAt + oldSize, ace + size);
        const auto word = static_cast<WORD>(total);
        std::memcpy(out.data() + start + offsetof(ACE_HEADER, AceSize), &word, sizeof word);
    } else {
        out.insert(out.end(), ace, ace + size);
    }
    out[start + offsetof(ACE_HEADER, AceFlags)] = flags;
    if (specific && HasMask(ace, size)) {
        const ACCESS_MASK mask = MapGenericKeyRights(Read<ACCESS_MASK>(ace + kMaskAt));
        std::memcpy(out.data() + start + kMaskAt, &mask, sizeof mask);
    }
    return true;
}

// An ACL of `aces` (`count` entries); empty when it would be too large.
Bytes MakeAcl(BYTE revision, const Bytes& aces, WORD count) {
    if (sizeof(ACL) + aces.size() > kMaxAclSize) {
        return {};
    }
    const ACL header{revision, 0, static_cast<WORD>(sizeof(ACL) + aces.size()), count, 0};
    Bytes acl(reinterpret_cast<const BYTE*>(&header),
              reinterpret_cast<const BYTE*>(&header) + sizeof header);
    acl.insert(acl.end(), aces.begin(), aces.end());
    return acl;
}

Bytes MakeDescriptor(SECURITY_DESCRIPTOR_CONTROL control, const SID* owner, const Bytes& dacl) {
    const size_t ownerSize = owner != nullptr ? SidSize(owner) : 0;
    SECURITY_DESCRIPTOR_RELATIVE header{};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(control | SE_SELF_RELATIVE);
    header.Owner = owner != nullptr ? sizeof header : 0;
    header.Dacl = dacl.empty() ? 0 : static_cast<DWORD>(sizeof header + ownerSize);
    Bytes descriptor(sizeof header + ownerSize + dacl.size());
    std::memcpy(descriptor.data(), &header, sizeof header);
    if (owner != nullptr) {
        std::memcpy(descriptor.data() + sizeof header, owner, ownerSize);
    }
    if (!dacl.empty()) {
        std::memcpy(descriptor.data() + header.Dacl, dacl.data(), dacl.size());
    }
    return descriptor;
}

// The entries a subkey inherits from its parent's DACL, by Windows' rules for a container: one
// with container inherit is inherited (with no-propagate it loses its inheritance flags,
// otherwise only inherit-only); one with object inherit alone, as inherit-only unless
// no-propagate. One that applies to the subkey gets key rights for generic ones and the subkey's
// owner and group for CREATOR OWNER and GROUP, in every entry type whose SID can be found; where
// the subkey has no such owner or group, that copy is left out, as it could name no one. An
// inherit-only copy, inherited further, keeps the generic form. Each is marked inherited.
// Appended to `aces`, counted in `count`; returns false when an entry would grow too large.
bool AppendInheritedAces(const ACL* parentDacl, const SID* owner, const SID* group, Bytes& aces,
                         WORD& count) {
    if (parentDacl == nullptr) {
        return true;
    }
    bool fits = true;
    ForEachAce(parentDacl, [&](const BYTE* ace, WORD size) {
        const BYTE flags = ace[offsetof(ACE_HEADER, AceFlags)];
        const auto kept = static_cast<BYTE>((flags & ~kInheritFlags) | INHERITED_ACE);
        const bool further = (flags & NO_PROPAGATE_INHERIT_ACE) == 0;
        auto append = [&](BYTE newFlags, bool specific, const SID* replacement) {
            fits = fits && AppendAce(ace, size, newFlags, specific, replacement, aces);
            ++count;
        };
        if (size < kSmallestPassedOn) {
            return;
        }
        if ((flags & CONTAINER_INHERIT_ACE) != 0) {
            const int creator = CreatorSid(AceSid(ace, size));
            const bool generic =
                HasMask(ace, size) &&
                ((Read<ACCESS_MASK>(ace + kMaskAt) & 0xF0000000) != 0 || creator >= 0);
            const SID* replacement = creator == 0 ? owner : creator == 1 ? group : nullptr;
            // Applies to the subkey, in specific form.
            if ((!further || generic) && (creator < 0 || replacement != nullptr)) {
                append(kept, true, replacement);
            }
            if (further) { // inherited further; inherit-only where the subkey has its own copy
                const BYTE inherit = flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
                append(static_cast<BYTE>(kept | inherit | (generic ? INHERIT_ONLY_ACE : 0)), false,
                       nullptr);
            }
        } else if ((flags & OBJECT_INHERIT_ACE) != 0 && further) {
            append(static_cast<BYTE>(kept | OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE), false, nullptr);
        }
    });
    return fits;
}

} // namespace

ACCESS_MASK MapGenericKeyRights(ACCESS_MASK mask) {
    constexpr std::pair<ACCESS_MASK, ACCESS_MASK> kKeyRights[] = {{GENERIC_READ, KEY_READ},
                                                                  {GENERIC_WRITE, KEY_WRITE},
                                                                  {GENERIC_EXECUTE, KEY_EXECUTE},
                                                                  {GENERIC_ALL, KEY_ALL_ACCESS}};
    for (const auto& [generic, rights] : kKeyRights) {
        if ((mask & generic) != 0) {
            mask = (mask & ~generic) | rights;
        }
    }
    return mask;
}

const SID* AceSid(const BYTE* ace, WORD size) {
    const size_t sidAt = KnownType(ace[0]) ? SidOffset(ace, size) : 0;
    return sidAt != 0 && sidAt <= size && WholeSidSize(ace + sidAt, size - sidAt) != 0
               ? reinterpret_cast<const SID*>(ace + sidAt)
               : nullptr;
}

bool SidEquals(const SID* sid, const SID& expected) {
    return sid != nullptr && SidSize(sid) == SidSize(&expected) &&
           std::memcmp(sid, &expected, SidSize(sid)) == 0;
}

bool ParseDescriptor(std::span<const BYTE> descriptor, DescriptorParts& parts) {
    if (descriptor.size() < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) {
        return false;
    }
    const auto header = Read<SECURITY_DESCRIPTOR_RELATIVE>(descriptor.data());
    if (header.Revision != SECURITY_DESCRIPTOR_REVISION ||
        (header.Control & SE_SELF_RELATIVE) == 0) {
        return false;
    }
    parts = DescriptorParts{header.Control, SidAt(descriptor, header.Owner),
                            SidAt(descriptor, header.Group), nullptr};
    if ((header.Control & SE_DACL_PRESENT) != 0 && header.Dacl != 0) {
        parts.dacl = AclAt(descriptor, header.Dacl);
        if (parts.dacl == nullptr) {
            return false;
        }
    }
    return (header.Owner == 0 || parts.owner != nullptr) &&
           (header.Group == 0 || parts.group != nullptr);
}

Bytes RepairedDaclDescriptor(const ACL* repairAcl, const DescriptorParts& key, const SID* owner,
                             const Bytes* parent) {
    // The repair's entries walked, not its declared size copied: an ACL may hold unused bytes.
    Bytes aces;
    WORD count = 0;
    ForEachAce(repairAcl, [&](const BYTE* ace, WORD size) {
        aces.insert(aces.end(), ace, ace + size);
        ++count;
    });
    BYTE revision = repairAcl->AclRevision;
    const bool isProtected = (key.control & SE_DACL_PROTECTED) != 0;
    if (!isProtected && parent != nullptr) {
        DescriptorParts parentParts;
        if (!ParseDescriptor(*parent, parentParts) ||
            !AppendInheritedAces(parentParts.dacl, owner, key.group, aces, count)) {
            return {};
        }
        if (parentParts.dacl != nullptr) {
            revision = std::max(revision, parentParts.dacl->AclRevision);
        }
    } else if (!isProtected && key.dacl != nullptr) {
        ForEachAce(key.dacl, [&](const BYTE* ace, WORD size) {
            if ((ace[offsetof(ACE_HEADER, AceFlags)] & INHERITED_ACE) != 0 &&
                size >= kSmallestPassedOn) {
                aces.insert(aces.end(), ace, ace + size);
                ++count;
            }
        });
        revision = std::max(revision, key.dacl->AclRevision);
    }
    const Bytes acl = MakeAcl(revision, aces, count);
    if (acl.empty()) {
        return {};
    }
    return MakeDescriptor(
        static_cast<SECURITY_DESCRIPTOR_CONTROL>(SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED |
                                                 (isProtected ? SE_DACL_PROTECTED : 0)),
        nullptr, acl);
}

bool IsRepairDacl(const ACL* dacl, DWORD inheritanceFlags, const SID& everyone,
                  const SID& administrators) {
    if (dacl == nullptr) {
        return false; // no DACL: everyone has full access
    }
    bool hasEveryone = false;
    bool hasAdministrators = false;
    bool other = false;
    ForEachAce(dacl, [&](const BYTE* ace, WORD size) {
        const BYTE flags = ace[offsetof(ACE_HEADER, AceFlags)];
        if ((flags & INHERITED_ACE) != 0) {
            return;
        }
        const bool candidate = ace[0] == ACCESS_ALLOWED_ACE_TYPE && HasMask(ace, size) &&
                               (flags & VALID_INHERIT_FLAGS) == inheritanceFlags;
        const ACCESS_MASK rights =
            candidate ? MapGenericKeyRights(Read<ACCESS_MASK>(ace + kMaskAt)) : 0;
        const SID* sid = candidate ? AceSid(ace, size) : nullptr;
        if (!hasEveryone && rights == KEY_READ && SidEquals(sid, everyone)) {
            hasEveryone = true;
        } else if (!hasAdministrators && rights == KEY_ALL_ACCESS &&
                   SidEquals(sid, administrators)) {
            hasAdministrators = true;
        } else {
            other = true;
        }
    });
    return hasEveryone && hasAdministrators && !other;
}

Bytes OwnerDescriptor(const SID* owner, SECURITY_DESCRIPTOR_CONTROL control) {
    return MakeDescriptor(
        static_cast<SECURITY_DESCRIPTOR_CONTROL>(
            control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ)),
        owner, {});
}

} // namespace tkr
