// Security descriptors as the registry keeps them (self-relative), and the DACL a repair leaves
// on a key: computations on their bytes alone, with no Windows call, so that every DACL the tool
// writes is one it computed and no write reaches beyond the key it is made to.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace tkr {

using Bytes = std::vector<BYTE>;

// The parts of a self-relative security descriptor; null where it has none.
struct DescriptorParts {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const SID* owner = nullptr;
    const SID* group = nullptr;
    const ACL* dacl = nullptr; // null also for a DACL that is present but null
};

// Splits a self-relative descriptor into its parts, each checked to lie within the bytes: SIDs
// valid (at most 15 sub-authorities), and the DACL valid by Windows' own rules for an ACL, no
// stricter and no looser (so that no DACL a key can hold makes it unrepairable). Returns false
// for bytes that are no such descriptor.
[[nodiscard]] bool ParseDescriptor(std::span<const BYTE> descriptor, DescriptorParts& parts);

// Key rights for the generic rights in a mask.
[[nodiscard]] ACCESS_MASK MapGenericKeyRights(ACCESS_MASK mask);

// The SID in an entry of a type whose layout is known (allowed, denied, audit, alarm, their
// object and callback forms, label), if it lies whole inside the entry; null otherwise.
[[nodiscard]] const SID* AceSid(const BYTE* ace, WORD size);
[[nodiscard]] bool SidEquals(const SID* sid, const SID& expected);

// Calls use(entry, size) for each entry of an ACL that ParseDescriptor checked, or of one
// Windows built.
template <typename Use> void ForEachAce(const ACL* acl, Use&& use) {
    const BYTE* at = reinterpret_cast<const BYTE*>(acl) + sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        WORD size;
        std::memcpy(&size, at + offsetof(ACE_HEADER, AceSize), sizeof size);
        use(at, size);
        at += size;
    }
}

// The descriptor of the repair's DACL write to a key whose present descriptor is `key`: the
// repair's own entries first, then (unless the key's DACL is protected) the inherited ones: from
// `parent`, the parent's descriptor as the run leaves it, or, where that is null (a table key,
// whose parent the run does not change), the ones the key has. The DACL keeps the key's
// protection and is marked auto-inherited, as Windows marks a DACL it propagates. `owner` stands
// for CREATOR OWNER, the key's group for CREATOR GROUP. Returns an empty descriptor when the DACL
// would exceed the size an ACL can have, or `parent` is no descriptor.
[[nodiscard]] Bytes RepairedDaclDescriptor(const ACL* repairAcl, const DescriptorParts& key,
                                           const SID* owner, const Bytes* parent);

// Whether the DACL's own (not inherited) entries are exactly the repair's two, in either order:
// `everyone` allowed KEY_READ and `administrators` allowed KEY_ALL_ACCESS, each with exactly
// inheritanceFlags, generic rights taken as the key rights they stand for.
[[nodiscard]] bool IsRepairDacl(const ACL* dacl, DWORD inheritanceFlags, const SID& everyone,
                                const SID& administrators);

// A self-relative descriptor with an owner and no other part, for an owner write. It carries the
// DACL flags of `control` (the key's, where known): Windows keeps a key's DACL flags on an owner
// write whatever the descriptor says, Wine takes them from the descriptor.
Bytes OwnerDescriptor(const SID* owner, SECURITY_DESCRIPTOR_CONTROL control = 0);

} // namespace tkr
