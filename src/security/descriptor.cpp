#include "security/descriptor.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace tkr {
namespace {

constexpr BYTE kInheritFlags =
    OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;
constexpr size_t kMaxAclSize = 0xFFFC; // AclSize is a WORD, kept a multiple of 4
// Where the mask and, in the allowed and denied types, the SID stand in an entry.
constexpr size_t kMaskAt = sizeof(ACE_HEADER);
constexpr size_t kSidAt = offsetof(ACCESS_ALLOWED_ACE, SidStart);

template <typename T> T Read(const BYTE* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

size_t SidSize(const SID* sid) {
    return offsetof(SID, SubAuthority) + Read<BYTE>(reinterpret_cast<const BYTE*>(sid) + 1) * 4;
}

// The SID at `offset` within the bytes, if a whole one is there.
const SID* SidAt(std::span<const BYTE> bytes, DWORD offset) {
    if (offset == 0 || offset + offsetof(SID, SubAuthority) > bytes.size()) {
        return nullptr;
    }
    const auto* sid = reinterpret_cast<const SID*>(bytes.data() + offset);
    return offset + SidSize(sid) <= bytes.size() ? sid : nullptr;
}

// The ACL at `offset`, if its header and every entry lie within the bytes.
const ACL* AclAt(std::span<const BYTE> bytes, DWORD offset) {
    if (offset == 0 || offset + sizeof(ACL) > bytes.size()) {
        return nullptr;
    }
    const BYTE* const start = bytes.data() + offset;
    const auto size = Read<WORD>(start + offsetof(ACL, AclSize));
    const auto count = Read<WORD>(start + offsetof(ACL, AceCount));
    if (size < sizeof(ACL) || offset + size > bytes.size()) {
        return nullptr;
    }
    size_t at = sizeof(ACL);
    for (WORD i = 0; i < count; ++i) {
        if (at + sizeof(ACE_HEADER) > size) {
            return nullptr;
        }
        const auto aceSize = Read<WORD>(start + at + offsetof(ACE_HEADER, AceSize));
        if (aceSize < sizeof(ACE_HEADER) || at + aceSize > size) {
            return nullptr;
        }
        at += aceSize;
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
// for a creator SID.
void AppendAce(const BYTE* ace, WORD size, BYTE flags, bool specific, const SID* owner,
               const SID* group, Bytes& out) {
    const size_t start = out.size();
    const int creator = CreatorSid(AceSid(ace, size));
    const SID* replacement = creator == 0 ? owner : creator == 1 ? group : nullptr;
    if (specific && replacement != nullptr) {
        const size_t sidSize = SidSize(replacement);
        out.insert(out.end(), ace, ace + kSidAt);
        out.insert(out.end(), reinterpret_cast<const BYTE*>(replacement),
                   reinterpret_cast<const BYTE*>(replacement) + sidSize);
        const auto total = static_cast<WORD>(kSidAt + sidSize);
        std::memcpy(out.data() + start + offsetof(ACE_HEADER, AceSize), &total, sizeof total);
    } else {
        out.insert(out.end(), ace, ace + size);
    }
    out[start + offsetof(ACE_HEADER, AceFlags)] = flags;
    if (specific) {
        const ACCESS_MASK mask = MapGenericKeyRights(Read<ACCESS_MASK>(ace + kMaskAt));
        std::memcpy(out.data() + start + kMaskAt, &mask, sizeof mask);
    }
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
// owner and group for CREATOR OWNER and GROUP; an inherit-only copy, inherited further, keeps
// the generic form. Each is marked inherited. Appended to `aces`; returns how many.
WORD AppendInheritedAces(const ACL* parentDacl, const SID* owner, const SID* group, Bytes& aces) {
    if (parentDacl == nullptr) {
        return 0;
    }
    WORD count = 0;
    ForEachAce(parentDacl, [&](const BYTE* ace, WORD size) {
        const BYTE flags = ace[offsetof(ACE_HEADER, AceFlags)];
        const auto kept = static_cast<BYTE>((flags & ~kInheritFlags) | INHERITED_ACE);
        const bool further = (flags & NO_PROPAGATE_INHERIT_ACE) == 0;
        if ((flags & CONTAINER_INHERIT_ACE) != 0) {
            const bool generic = (Read<ACCESS_MASK>(ace + kMaskAt) & 0xF0000000) != 0 ||
                                 CreatorSid(AceSid(ace, size)) >= 0;
            if (!further || generic) { // applies to the subkey, in specific form
                AppendAce(ace, size, kept, true, owner, group, aces);
                ++count;
            }
            if (further) { // inherited further; inherit-only where the subkey has its own copy
                const BYTE inherit = flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
                AppendAce(ace, size,
                          static_cast<BYTE>(kept | inherit | (generic ? INHERIT_ONLY_ACE : 0)),
                          false, owner, group, aces);
                ++count;
            }
        } else if ((flags & OBJECT_INHERIT_ACE) != 0 && further) {
            AppendAce(ace, size, static_cast<BYTE>(kept | OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE),
                      false, owner, group, aces);
            ++count;
        }
    });
    return count;
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
    const BYTE type = ace[0];
    const auto* sid = reinterpret_cast<const SID*>(ace + kSidAt);
    return (type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE) &&
                   size >= kSidAt + offsetof(SID, SubAuthority) && kSidAt + SidSize(sid) <= size
               ? sid
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
    Bytes aces(reinterpret_cast<const BYTE*>(repairAcl) + sizeof(ACL),
               reinterpret_cast<const BYTE*>(repairAcl) + repairAcl->AclSize);
    WORD count = repairAcl->AceCount;
    BYTE revision = repairAcl->AclRevision;
    const bool isProtected = (key.control & SE_DACL_PROTECTED) != 0;
    if (!isProtected && parent != nullptr) {
        DescriptorParts parentParts;
        if (!ParseDescriptor(*parent, parentParts)) {
            return {};
        }
        count += AppendInheritedAces(parentParts.dacl, owner, key.group, aces);
        if (parentParts.dacl != nullptr) {
            revision = std::max(revision, parentParts.dacl->AclRevision);
        }
    } else if (!isProtected && key.dacl != nullptr) {
        ForEachAce(key.dacl, [&](const BYTE* ace, WORD size) {
            if ((ace[offsetof(ACE_HEADER, AceFlags)] & INHERITED_ACE) != 0) {
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

Bytes OwnerDescriptor(const SID* owner, SECURITY_DESCRIPTOR_CONTROL control) {
    return MakeDescriptor(
        static_cast<SECURITY_DESCRIPTOR_CONTROL>(
            control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ)),
        owner, {});
}

} // namespace tkr
