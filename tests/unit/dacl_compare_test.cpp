// The self-test's comparison of the DACLs the tool leaves with Windows' own: what it says for each
// kind of difference, since Wine computes no inheritance to show it on.
#include "selftest/dacl_compare.h"

#include "registry.h"

#include <gtest/gtest.h>

namespace {

using tkrtest::DescriptorFromSddl;

constexpr wchar_t kRepair[] = L"(A;CI;GR;;;WD)(A;CI;GA;;;BA)";

struct Case {
    const wchar_t* tool;
    const wchar_t* windows;
    const wchar_t* difference; // how it starts; empty: equal
};

TEST(DaclDifference, NamesTheFirstMissingExtraOrMisplacedEntryAndTheFlags) {
    const std::wstring r = kRepair;
    const Case cases[] = {
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GA;;;CO)",
         L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GA;;;CO)", L""},
        // An inherited entry left out, one too many, and two in another order.
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KA;;;SY)",
         L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KR;;;BU)(A;ID;KA;;;SY)",
         L"missing (A;ID;KR;;;BU), which Windows has as inherited entry 1"},
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KR;;;BU)", L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)",
         L"extra (A;ID;KR;;;BU) as inherited entry 1"},
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KR;;;BU)(A;ID;KA;;;SY)",
         L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KA;;;SY)(A;ID;KR;;;BU)",
         L"entries in another order: (A;ID;KR;;;BU) as inherited entry 1, where Windows has "
         L"(A;ID;KA;;;SY)"},
        // The same account, but not the same entry: inherit-only, generic rights, a deny entry.
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;CIID;GR;;;BU)",
         L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;CIIOID;GR;;;BU)",
         L"missing (A;CIIOID;GR;;;BU), which Windows has as inherited entry 1"},
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;GR;;;BU)",
         L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KR;;;BU)",
         L"missing (A;ID;KR;;;BU), which Windows has as inherited entry 1"},
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;WD;;;AN)",
         L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(D;ID;WD;;;AN)",
         L"missing (D;ID;WD;;;AN), which Windows has as inherited entry 1"},
        // An explicit copy of an inherited entry is no match.
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;;KR;;;BU)",
         L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KR;;;BU)",
         L"missing (A;ID;KR;;;BU), which Windows has as inherited entry 1"},
        // Own entries: the repair's two, which Windows may keep mapped or split in two.
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KR;;;BU)",
         L"D:AI(A;;KR;;;WD)(A;CIIO;GR;;;WD)(A;CI;KA;;;BA)(A;ID;KR;;;BU)", L""},
        {L"D:AI(A;CI;GR;;;WD)(A;ID;KR;;;BU)", L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)(A;ID;KR;;;BU)",
         L"its own entries are not the repair's two"},
        // The same entries, other flags.
        {L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)", L"D:(A;CI;GR;;;WD)(A;CI;GA;;;BA)",
         L"the DACL's flags differ"},
        {L"D:PAI(A;CI;GR;;;WD)(A;CI;GA;;;BA)", L"D:AI(A;CI;GR;;;WD)(A;CI;GA;;;BA)",
         L"the DACL's flags differ"},
    };
    for (const Case& c : cases) {
        const std::wstring difference = tkr::selftest::DaclDifference(
            DescriptorFromSddl(c.tool), DescriptorFromSddl(c.windows));
        EXPECT_TRUE(difference.starts_with(c.difference)) << difference;
        EXPECT_EQ(difference.empty(), c.difference[0] == L'\0') << difference;
    }
    // Both DACLs follow, as SDDL; bytes that are no descriptor are named.
    EXPECT_EQ(tkr::selftest::DaclDifference(DescriptorFromSddl(L"D:AI" + r),
                                            DescriptorFromSddl(L"D:AI" + r + L"(A;ID;KR;;;BU)")),
              L"missing (A;ID;KR;;;BU), which Windows has as inherited entry 1; the tool's D:AI" +
                  r + L", Windows' D:AI" + r + L"(A;ID;KR;;;BU)");
    EXPECT_EQ(tkr::selftest::DaclDifference(tkr::Bytes(12, 0xFF), DescriptorFromSddl(L"D:" + r)),
              L"the tool's descriptor cannot be read");
}

TEST(EntryFromElsewhere, NamesAnInheritedEntryTheParentCannotHaveGiven) {
    const struct {
        const wchar_t* child;
        const wchar_t* parent;
        const wchar_t* foreign;
    } cases[] = {
        {L"O:BAG:SYD:AI(A;ID;KR;;;BU)", L"D:(A;CI;KR;;;BU)", L""},
        // CREATOR OWNER and CREATOR GROUP stand for the child's owner and group.
        {L"O:BAG:SYD:AI(A;ID;KA;;;BA)(A;ID;KR;;;SY)", L"D:(A;CIIO;GA;;;CO)(A;CIIO;GR;;;CG)", L""},
        {L"O:BAG:SYD:AI(A;ID;KR;;;BU)(A;ID;KR;;;WD)", L"D:(A;CI;KR;;;BU)", L"(A;ID;KR;;;WD)"},
        // Only inheritable entries give; explicit entries of the child are its own.
        {L"O:BAG:SYD:AI(A;;KR;;;WD)(A;ID;KA;;;BA)", L"D:(A;;KA;;;BA)", L"(A;ID;KA;;;BA)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tkr::selftest::EntryFromElsewhere(DescriptorFromSddl(c.child),
                                                    DescriptorFromSddl(c.parent)),
                  c.foreign)
            << std::wstring(c.child).size();
    }
}

} // namespace
