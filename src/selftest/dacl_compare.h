// The check of a key's DACL as the tool left it against the one Windows' own propagation left on
// the key's twin.
#pragma once

#include "security/descriptor.h"

#include <span>
#include <string>

namespace tkr::selftest {

// What differs between the DACLs of two self-relative descriptors, each parsed within its bytes:
// their inherited entries in order, byte for byte (an entry's explicit copy is no match), their
// protected and auto-inherited flags, and whether each one's own entries are the repair's two
// with these inheritance flags (Windows may map their rights or split each in two). Empty when they
// agree; otherwise the first difference (a missing, extra or misplaced inherited entry, as SDDL)
// and both DACLs.
[[nodiscard]] std::wstring DaclDifference(const Bytes& tool, const Bytes& windows,
                                          DWORD inheritanceFlags = CONTAINER_INHERIT_ACE);

// Owner Administrators, and as the DACL's own entries exactly the repair's two, with container
// inherit (generic rights or the key rights they stand for, in either order).
[[nodiscard]] bool IsRepaired(const std::wstring& sddl);

// An entry as SDDL ("(A;CIID;KR;;;WD)").
[[nodiscard]] std::wstring EntrySddl(std::span<const BYTE> entry);

// The first entry marked inherited in `child` that no inheritable entry of `parent` can have
// given it (none names its SID, nor a creator SID that stands for the child's owner or group),
// as SDDL; empty if there is none or a descriptor cannot be read.
[[nodiscard]] std::wstring EntryFromElsewhere(const Bytes& child, const Bytes& parent);

} // namespace tkr::selftest
