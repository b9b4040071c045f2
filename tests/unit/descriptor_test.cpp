// The DACL a repair computes for a key: Windows' inheritance rules, from SDDL to SDDL.
#include "security/descriptor.h"
#include "security/key_security.h"

#include "registry.h"

#include <gtest/gtest.h>

#include <string>

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

} // namespace
