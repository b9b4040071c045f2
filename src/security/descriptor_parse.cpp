// The parsing of self-relative security descriptors, by Windows' own validity rules, and the
// reading of their entries.
#include "security/ace_layout.h"
#include "security/descriptor.h"

namespace tkr {
namespace {

using namespace layout;

// The ACL revisions from which the compound and the object types are valid, and the one compound
// layout there is (impersonation).
constexpr BYTE kCompoundRevision = 3;
constexpr BYTE kObjectRevision = 4;
constexpr WORD kCompoundImpersonation = 1;

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

} // namespace

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

} // namespace tkr
