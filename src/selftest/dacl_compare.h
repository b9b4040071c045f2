// The check of a key's DACL as the tool left it against the one Windows' own propagation left on
// the key's twin.
#pragma once

#include "security/descriptor.h"

#include <span>
#include <string>

namespace tkr::selftest {

// What differs between the DACLs (entries in order, and the protected and auto-inherited flags)
// of two self-relative descriptors, each parsed within its bytes: empty when they are equal;
// otherwise the first difference (a missing, extra or misplaced entry, as SDDL) and both DACLs.
[[nodiscard]] std::wstring DaclDifference(const Bytes& tool, const Bytes& windows);

// An entry as SDDL ("(A;CIID;KR;;;WD)").
[[nodiscard]] std::wstring EntrySddl(std::span<const BYTE> entry);

// The first entry marked inherited in `child` that no inheritable entry of `parent` can have
// given it (none names its SID, nor a creator SID that stands for the child's owner or group),
// as SDDL; empty if there is none or a descriptor cannot be read.
[[nodiscard]] std::wstring EntryFromElsewhere(const Bytes& child, const Bytes& parent);

} // namespace tkr::selftest
