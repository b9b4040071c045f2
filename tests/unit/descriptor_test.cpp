// The DACL a repair computes for a key: Windows' inheritance rules, from SDDL to SDDL.
#include "security/descriptor.h"
#include "security/key_security.h"

#include "registry.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct InheritanceCase {
    const wchar_t* parent; // the parent's DACL; null: a table key, whose parent is not changed
    const wchar_t* key;    // the key's descriptor before the write
    const wchar_t* dacl;   // what the write gives it
};

class RepairedDacl : public ::testing::TestWithParam<InheritanceCase> {};

TEST_P(RepairedDacl, FollowsWindowsInheritanceRules) {
    const InheritanceCase& c = GetParam();
    const tkr::Bytes repair = tkrtest::DescriptorFromSddl(L"D:(A;CI;GR;;;WD)(A;CI;GA;;;BA)");
    tkr::DescriptorParts repairParts, keyParts;
    ASSERT_TRUE(tkr::ParseDescriptor(repair, repairParts));
    const tkr::Bytes key = tkrtest::DescriptorFromSddl(c.key);
    ASSERT_TRUE(tkr::ParseDescriptor(key, keyParts));
    const tkr::Bytes parent = c.parent ? tkrtest::DescriptorFromSddl(c.parent) : tkr::Bytes();

    const tkr::Bytes written = tkr::RepairedDaclDescriptor(
        repairParts.dacl, keyParts, &tkr::AdministratorsSid(), c.parent ? &parent : nullptr);
    EXPECT_EQ(tkrtest::SddlOf(written, DACL_SECURITY_INFORMATION), std::wstring(c.dacl));
}

#define REPAIR L"(A;CI;GR;;;WD)(A;CI;GA;;;BA)"
INSTANTIATE_TEST_SUITE_P(
    Rules, RepairedDacl,
    ::testing::Values(
        // The key's own entries are replaced; one that applies here and below stays so.
        InheritanceCase{L"D:(A;CI;KR;;;BU)", L"O:SYG:SYD:(A;;KA;;;SY)",
                        L"D:AI" REPAIR L"(A;CIID;KR;;;BU)"},
        // No-propagate: this key only, without inheritance flags.
        InheritanceCase{L"D:(A;CINP;KR;;;BU)", L"D:", L"D:AI" REPAIR L"(A;ID;KR;;;BU)"},
        // Inherit-only in the parent applies to the subkey.
        InheritanceCase{L"D:(A;CIIO;KR;;;BU)", L"D:", L"D:AI" REPAIR L"(A;CIID;KR;;;BU)"},
        // Object inherit alone: inherit-only here, unless no-propagate; none: not inherited.
        InheritanceCase{L"D:(A;OI;KR;;;BU)(A;OINP;KW;;;BU)(A;;KA;;;SY)", L"D:",
                        L"D:AI" REPAIR L"(A;OIIOID;KR;;;BU)"},
        // Generic rights: key rights here, the generic form inherit-only for further down.
        InheritanceCase{L"D:(A;OICI;GR;;;BU)", L"D:",
                        L"D:AI" REPAIR L"(A;ID;KR;;;BU)(A;OICIIOID;GR;;;BU)"},
        InheritanceCase{L"D:(A;CINP;GA;;;BU)", L"D:", L"D:AI" REPAIR L"(A;ID;KA;;;BU)"},
        // CREATOR OWNER and CREATOR GROUP: the key's owner and group here.
        InheritanceCase{L"D:(A;CI;KA;;;CO)(D;CI;KW;;;CG)", L"O:SYG:BUD:",
                        L"D:AI" REPAIR L"(A;ID;KA;;;BA)(A;CIIOID;KA;;;CO)(D;ID;KW;;;BU)"
                        L"(D;CIIOID;KW;;;CG)"},
        // CREATOR GROUP on a key without a group: only the copy passed further down.
        InheritanceCase{L"D:(A;CI;KA;;;CG)", L"O:SYD:", L"D:AI" REPAIR L"(A;CIIOID;KA;;;CG)"},
        // Entries the parent inherited itself are passed on the same way, after its own.
        InheritanceCase{L"D:(A;CI;KR;;;AU)(A;CIID;KA;;;SY)", L"D:",
                        L"D:AI" REPAIR L"(A;CIID;KR;;;AU)(A;CIID;KA;;;SY)"},
        // A protected DACL stays protected and inherits nothing.
        InheritanceCase{L"D:(A;CI;KR;;;BU)", L"D:P(A;;KA;;;SY)", L"D:PAI" REPAIR},
        // A table key keeps what it inherits from HKEY_CLASSES_ROOT.
        InheritanceCase{nullptr, L"D:(A;;KA;;;SY)(A;CIID;KR;;;BU)",
                        L"D:AI" REPAIR L"(A;CIID;KR;;;BU)"},
        // A parent without a DACL passes nothing on.
        InheritanceCase{L"O:BA", L"D:(A;CIID;KR;;;BU)", L"D:AI" REPAIR}));
#undef REPAIR

TEST(Descriptor, BytesThatAreNoDescriptorAreRefused) {
    tkr::Bytes descriptor = tkrtest::DescriptorFromSddl(L"O:BAD:(A;;KA;;;SY)");
    tkr::DescriptorParts parts;
    ASSERT_TRUE(tkr::ParseDescriptor(descriptor, parts));
    for (size_t cut : {size_t{0}, size_t{19}, descriptor.size() - 1}) {
        EXPECT_FALSE(
            tkr::ParseDescriptor(tkr::Bytes(descriptor.begin(), descriptor.begin() + cut), parts))
            << cut;
    }
    EXPECT_EQ(tkrtest::SddlOf(tkr::OwnerDescriptor(parts.owner), OWNER_SECURITY_INFORMATION),
              L"O:BA");
}

// A descriptor of a header and a DACL of these bytes (owner, group: none).
tkr::Bytes WithDacl(const tkr::Bytes& acl) {
    SECURITY_DESCRIPTOR_RELATIVE header{
        SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT | SE_SELF_RELATIVE, 0, 0, 0, 0};
    header.Dacl = sizeof header;
    tkr::Bytes bytes(sizeof header + acl.size());
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, acl.data(), acl.size());
    return bytes;
}

// An ACL of entries, each a type, flags, mask, SID and trailing data; `slack` unused bytes after.
tkr::Bytes Acl(const std::vector<tkr::Bytes>& aces, size_t slack = 0) {
    tkr::Bytes acl(sizeof(ACL));
    for (const tkr::Bytes& ace : aces) {
        acl.insert(acl.end(), ace.begin(), ace.end());
    }
    acl.resize(acl.size() + slack);
    const ACL header{ACL_REVISION, 0, static_cast<WORD>(acl.size()), static_cast<WORD>(aces.size()),
                     0};
    std::memcpy(acl.data(), &header, sizeof header);
    return acl;
}
tkr::Bytes Sid(const wchar_t* text) {
    PSID sid = nullptr;
    ::ConvertStringSidToSidW(text, &sid);
    const auto* bytes = static_cast<const BYTE*>(sid);
    tkr::Bytes copy(bytes, bytes + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return copy;
}
tkr::Bytes Ace(BYTE type, BYTE flags, ACCESS_MASK mask, const wchar_t* sid, tkr::Bytes data = {}) {
    tkr::Bytes ace(sizeof(ACE_HEADER) + sizeof mask);
    ace[0] = type;
    ace[1] = flags;
    std::memcpy(ace.data() + 4, &mask, sizeof mask);
    const tkr::Bytes sidBytes = Sid(sid);
    ace.insert(ace.end(), sidBytes.begin(), sidBytes.end());
    ace.insert(ace.end(), data.begin(), data.end());
    const auto size = static_cast<WORD>(ace.size());
    std::memcpy(ace.data() + 2, &size, sizeof size);
    return ace;
}

TEST(Descriptor, MalformedBytesAreRefusedWithoutAReadOutsideThem) {
    const tkr::Bytes good = tkrtest::DescriptorFromSddl(L"O:BAG:SYD:(A;;KA;;;SY)");
    tkr::DescriptorParts parts;
    ASSERT_TRUE(tkr::ParseDescriptor(good, parts));
    const size_t acl = [&] {
        SECURITY_DESCRIPTOR_RELATIVE header;
        std::memcpy(&header, good.data(), sizeof header);
        return header.Dacl;
    }();
    const size_t ace = acl + sizeof(ACL);
    struct Row {
        const char* what;
        size_t at;
        std::vector<BYTE> bytes;
    };
    const Row rows[] = {
        {"owner offset that wraps",
         offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner),
         {0xF8, 0xFF, 0xFF, 0xFF}},
        {"DACL offset that wraps",
         offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl),
         {0xFC, 0xFF, 0xFF, 0xFF}},
        {"ACL revision", acl, {9}},
        {"ACL size not a multiple of 4", acl + 2, {static_cast<BYTE>(good.size() - acl - 2)}},
        {"entry of 4 bytes", ace + 2, {4, 0}},
        {"entry size not a multiple of 4", ace + 2, {18, 0}},
        {"entry's SID longer than the entry", ace + 9, {2}},
        {"entry's SID of 16 sub-authorities", ace + 9, {16}},
        {"owner of 16 sub-authorities", 20 + 1, {16}},
    };
    for (const Row& row : rows) {
        tkr::Bytes bad = good;
        std::copy(row.bytes.begin(), row.bytes.end(), bad.begin() + row.at);
        EXPECT_FALSE(tkr::ParseDescriptor(bad, parts)) << row.what;
    }
}

TEST(Descriptor, TheRepairsUnusedBytesAreNotCopiedAndCreatorSidsAreReplacedInEveryEntryType) {
    const tkr::Bytes repair = WithDacl(
        Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, GENERIC_READ, L"WD")}, 16));
    const tkr::Bytes parent =
        WithDacl(Acl({Ace(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, CONTAINER_INHERIT_ACE, GENERIC_ALL,
                          L"CO", {'a', 'r', 't', 'x'})}));
    const tkr::Bytes key = tkrtest::DescriptorFromSddl(L"O:SYG:SYD:");
    tkr::DescriptorParts repairParts, keyParts, writtenParts;
    ASSERT_TRUE(tkr::ParseDescriptor(repair, repairParts));
    ASSERT_TRUE(tkr::ParseDescriptor(key, keyParts));
    const tkr::Bytes written =
        tkr::RepairedDaclDescriptor(repairParts.dacl, keyParts, &tkr::AdministratorsSid(), &parent);
    ASSERT_TRUE(tkr::ParseDescriptor(written, writtenParts));
    std::vector<tkr::Bytes> entries;
    tkr::ForEachAce(writtenParts.dacl,
                    [&](const BYTE* ace, WORD size) { entries.emplace_back(ace, ace + size); });
    ASSERT_EQ(entries.size(), 3u); // the repair's, then the effective and the inherit-only copy
    EXPECT_EQ(entries[1], Ace(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, INHERITED_ACE, KEY_ALL_ACCESS,
                              L"BA", {'a', 'r', 't', 'x'}));
    EXPECT_EQ(entries[2], Ace(ACCESS_ALLOWED_CALLBACK_ACE_TYPE,
                              CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE, GENERIC_ALL,
                              L"CO", {'a', 'r', 't', 'x'}));
}

} // namespace
