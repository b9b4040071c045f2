#include "security/descriptor.h"

#include "security/ace_layout.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace tkr {
namespace {

using namespace layout;

constexpr BYTE kInheritFlags =
    OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;
constexpr size_t kMaxAclSize = 0xFFFC; // AclSize is a WORD, kept a multiple of 4
// An entry too small to hold a mask grants nothing, and as the last of an ACL it would make the
// ACL one Windows refuses (a header that ends the ACL): it is not passed on.
constexpr size_t kSmallestPassedOn = kMaskAt + sizeof(ACCESS_MASK);

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

Bytes OwnerDescriptor(const SID* owner, SECURITY_DESCRIPTOR_CONTROL control) {
    return MakeDescriptor(
        static_cast<SECURITY_DESCRIPTOR_CONTROL>(
            control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ)),
        owner, {});
}

} // namespace tkr
