// The Windows types and constants that the modules which only compute (security descriptors, the
// undo file's text, the escaping of names, the options) use, as Windows' headers define them, so
// that those modules build natively (with sanitizers and fuzzers) as well. Layouts and values are
// Windows' own; nothing here calls anything.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ACCESS_MASK = DWORD;
using SECURITY_DESCRIPTOR_CONTROL = WORD;

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};
struct SID {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[1];
};
struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
struct ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
};
struct SECURITY_DESCRIPTOR_RELATIVE {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    DWORD Owner;
    DWORD Group;
    DWORD Sacl;
    DWORD Dacl;
};
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20 && sizeof(ACL) == 8 && sizeof(SID) == 12);

#define SID_REVISION 1
#define SECURITY_DESCRIPTOR_REVISION 1
#define MIN_ACL_REVISION 2
#define MAX_ACL_REVISION 4
#define ACL_REVISION 2
#define SECURITY_CREATOR_SID_AUTHORITY                                                             \
    { 0, 0, 0, 0, 0, 3 }
#define SECURITY_CREATOR_GROUP_RID 1

#define ACCESS_ALLOWED_ACE_TYPE 0
#define ACCESS_DENIED_ACE_TYPE 1
#define SYSTEM_AUDIT_ACE_TYPE 2
#define SYSTEM_ALARM_ACE_TYPE 3
#define ACCESS_ALLOWED_COMPOUND_ACE_TYPE 4
#define ACCESS_ALLOWED_OBJECT_ACE_TYPE 5
#define ACCESS_DENIED_OBJECT_ACE_TYPE 6
#define SYSTEM_AUDIT_OBJECT_ACE_TYPE 7
#define SYSTEM_ALARM_OBJECT_ACE_TYPE 8
#define ACCESS_ALLOWED_CALLBACK_ACE_TYPE 9
#define ACCESS_DENIED_CALLBACK_ACE_TYPE 10
#define ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE 11
#define ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE 12
#define SYSTEM_AUDIT_CALLBACK_ACE_TYPE 13
#define SYSTEM_ALARM_CALLBACK_ACE_TYPE 14
#define SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE 15
#define SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE 16
#define SYSTEM_MANDATORY_LABEL_ACE_TYPE 17
#define ACE_OBJECT_TYPE_PRESENT 1
#define ACE_INHERITED_OBJECT_TYPE_PRESENT 2

#define OBJECT_INHERIT_ACE 1
#define CONTAINER_INHERIT_ACE 2
#define NO_PROPAGATE_INHERIT_ACE 4
#define INHERIT_ONLY_ACE 8
#define INHERITED_ACE 0x10
#define VALID_INHERIT_FLAGS 0x1F

#define SE_DACL_PRESENT 0x0004
#define SE_DACL_AUTO_INHERIT_REQ 0x0100
#define SE_DACL_AUTO_INHERITED 0x0400
#define SE_DACL_PROTECTED 0x1000
#define SE_SELF_RELATIVE 0x8000

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_EXECUTE 0x20019u
#define KEY_ALL_ACCESS 0xF003Fu
