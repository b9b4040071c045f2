// The layout of security descriptors' entries as the registry keeps them: where an entry's mask
// and SID stand, read within bounds. Shared by the parser and the inheritance computation.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>

namespace tkr::layout {

inline constexpr size_t kSidHeader = offsetof(SID, SubAuthority);
inline constexpr BYTE kMaxSubAuthorities = 15;
// Where the mask stands in an entry of every known type.
inline constexpr size_t kMaskAt = sizeof(ACE_HEADER);

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

inline size_t SidSize(const SID* sid) {
    return kSidHeader + Read<BYTE>(reinterpret_cast<const BYTE*>(sid) + 1) * size_t{4};
}

// The size of a valid SID (revision 1, at most 15 sub-authorities) that lies whole within the
// `available` bytes at `at`; 0 when there is none.
inline size_t WholeSidSize(const BYTE* at, size_t available) {
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
inline size_t SidOffset(const BYTE* ace, size_t size) {
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

inline bool KnownType(BYTE type) {
    return type <= 19 && type != ACCESS_ALLOWED_COMPOUND_ACE_TYPE;
}

// The mask of an entry of a known type that is large enough to hold one.
inline bool HasMask(const BYTE* ace, size_t size) {
    return KnownType(ace[0]) && size >= kMaskAt + sizeof(ACCESS_MASK);
}

} // namespace tkr::layout
