// The descriptor parser and the repaired DACL, on bytes anyone could have put in a key's
// security. Input: two bytes giving the length of the key's descriptor, that descriptor, then
// the parent's. Properties: nothing is read outside the input (the sanitizers, also in the check
// of a key's DACL), and a repaired
// descriptor parses, holds the repair's two entries first and only inherited ones after them,
// and fits the size an ACL can have.
#include "security/descriptor.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using tkr::Bytes;

// The repair's DACL for the default options, as Windows builds it: Everyone read, Administrators
// full control, both container inherit.
const BYTE kRepair[] = {
    1,  0, 0x04, 0x80,                             // revision; self-relative, DACL present
    0,  0, 0,    0,    0, 0, 0, 0,    0,  0, 0, 0, // no owner, group or SACL
    20, 0, 0,    0,                                // the DACL at 20
    2,  0, 52,   0,    2, 0, 0, 0,                 // revision 2, 52 bytes, 2 entries
    0,  2, 20,   0,    0, 0, 0, 0x80,              // allowed, container inherit, GENERIC_READ
    1,  1, 0,    0,    0, 0, 0, 1,    0,  0, 0, 0, // Everyone
    0,  2, 24,   0,    0, 0, 0, 0x10,              // allowed, container inherit, GENERIC_ALL
    1,  2, 0,    0,    0, 0, 0, 5,    32, 0, 0, 0, 32, 2, 0, 0, // Administrators
};
const BYTE kAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 32, 2, 0, 0};
const BYTE kEveryone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

void Require(bool property) {
    if (!property) {
        std::abort();
    }
}

void CheckRepaired(const Bytes& written, const tkr::DescriptorParts& repair) {
    Require(written.size() <= sizeof(SECURITY_DESCRIPTOR_RELATIVE) + 0xFFFC);
    tkr::DescriptorParts parts;
    Require(tkr::ParseDescriptor(written, parts) && parts.dacl != nullptr);
    std::vector<Bytes> own;
    tkr::ForEachAce(repair.dacl,
                    [&](const BYTE* ace, WORD size) { own.emplace_back(ace, ace + size); });
    size_t index = 0;
    tkr::ForEachAce(parts.dacl, [&](const BYTE* ace, WORD size) {
        if (index < own.size()) {
            Require(Bytes(ace, ace + size) == own[index]);
        } else {
            Require((ace[1] & INHERITED_ACE) != 0);
        }
        ++index;
    });
    Require(index >= own.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t keySize = std::min<size_t>(size - 2, data[0] | data[1] << 8);
    // Each in a buffer of its own exact size, so that a read past its end is caught.
    const Bytes key(data + 2, data + 2 + keySize);
    const Bytes parent(data + 2 + keySize, data + size);
    tkr::DescriptorParts repairParts, keyParts, parentParts;
    const bool parentParsed = tkr::ParseDescriptor(parent, parentParts);
    if (!tkr::ParseDescriptor(key, keyParts)) {
        return 0;
    }
    // The check of a key's DACL reads every entry the parser let through.
    (void)tkr::IsRepairDacl(keyParts.dacl, data[0] & 0xF, *reinterpret_cast<const SID*>(kEveryone),
                            *reinterpret_cast<const SID*>(kAdministrators));
    const Bytes repair(std::begin(kRepair), std::end(kRepair));
    Require(tkr::ParseDescriptor(repair, repairParts));
    const auto* owner = reinterpret_cast<const SID*>(kAdministrators);
    const Bytes fromParent =
        tkr::RepairedDaclDescriptor(repairParts.dacl, keyParts, owner, &parent);
    // A protected key inherits nothing, so its parent's bytes are not read.
    Require(fromParent.empty() || parentParsed || (keyParts.control & SE_DACL_PROTECTED) != 0);
    if (!fromParent.empty()) {
        CheckRepaired(fromParent, repairParts);
    }
    const Bytes own = tkr::RepairedDaclDescriptor(repairParts.dacl, keyParts, owner, nullptr);
    if (!own.empty()) {
        CheckRepaired(own, repairParts);
    }
    return 0;
}
