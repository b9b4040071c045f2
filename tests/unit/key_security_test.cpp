// The key security repair's branches, against the scripted fake.
#include "fake_win.h"

#include "modes/repair_mode.h"
#include "report/report.h"

#include <gtest/gtest.h>

namespace {

constexpr wchar_t kLog[] = L"C:\\logs\\run.log";

class KeySecurity : public ::testing::Test {
  protected:
    void SetUp() override { fake.AddKey(L".qk4"); }
    bool Repair(DWORD flags = 2) {
        const tkr::RepairDacl dacl(flags);
        const tkr::ProcessToken token;
        const tkr::RepairResult result = tkr::RepairKeySecurity(key, dacl, token, {});
        tkr::LogRepairSteps(log, result);
        return result.Repaired();
    }
    std::vector<std::wstring> Log() const { return fake.LogLines(kLog); }
    FakeWindows fake;
    const tkr::RunLog log{kLog};
    const std::wstring path = L".qk4";
    const tkr::ClassesRoots roots;
    tkr::TreeKey key{HKEY_CLASSES_ROOT, {}, L".qk4", path, nullptr, &roots};
};

TEST_F(KeySecurity, DaclOwnerDaclAreWrittenThroughTheKeyItselfWithThePrivilegeOnlyForTheOwner) {
    std::vector<bool> privilegeOnAtWrite;
    fake.onSetSecurity = [&](const std::wstring&) {
        privilegeOnAtWrite.push_back(fake.privilegesOn.count(9) != 0);
    };
    EXPECT_TRUE(Repair());
    EXPECT_EQ(fake.Calls(L"RegSetKeySecurity "),
              (std::vector<std::wstring>{L"RegSetKeySecurity .qk4 info=4 owner=null",
                                         L"RegSetKeySecurity .qk4 info=1 owner=Administrators",
                                         L"RegSetKeySecurity .qk4 info=4 owner=null"}));
    EXPECT_EQ(privilegeOnAtWrite, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(Log(), (std::vector<std::wstring>{L"Message: \tSuccessfully changed DACL permissions",
                                                L"Message: \tSuccessfully changed DACL owner"}));
    for (const std::wstring& open : fake.opens) {
        EXPECT_EQ(open, L"relative itself .qk4");
    }
    EXPECT_EQ(fake.openKeys, 0);
    EXPECT_EQ(fake.heldSecurity, 0);
}

TEST_F(KeySecurity, EntriesAreTheFixedPairWithTheGivenInheritance) {
    for (DWORD flags : {1u, 2u, 3u, 7u, 8u}) {
        fake.aclEntries.clear();
        ASSERT_TRUE(Repair(flags));
        ASSERT_EQ(fake.aclEntries.size(), 2u);
        const EXPLICIT_ACCESS_W& everyone = fake.aclEntries[0];
        const EXPLICIT_ACCESS_W& admins = fake.aclEntries[1];
        EXPECT_EQ(everyone.grfAccessPermissions, static_cast<DWORD>(GENERIC_READ));
        EXPECT_EQ(admins.grfAccessPermissions, static_cast<DWORD>(GENERIC_ALL));
        for (const EXPLICIT_ACCESS_W* entry : {&everyone, &admins}) {
            EXPECT_EQ(entry->grfAccessMode, SET_ACCESS);
            EXPECT_EQ(entry->grfInheritance, flags);
            EXPECT_EQ(entry->Trustee.TrusteeForm, TRUSTEE_IS_SID);
            EXPECT_EQ(entry->Trustee.pMultipleTrustee, nullptr);
            EXPECT_EQ(entry->Trustee.MultipleTrusteeOperation, NO_MULTIPLE_TRUSTEE);
        }
        EXPECT_EQ(everyone.Trustee.TrusteeType, TRUSTEE_IS_WELL_KNOWN_GROUP);
        EXPECT_EQ(admins.Trustee.TrusteeType, TRUSTEE_IS_GROUP);
        EXPECT_NE(everyone.Trustee.ptstrName, admins.Trustee.ptstrName);
    }
}

struct FailureCase {
    std::map<std::string, std::deque<DWORD>> outcomes;
    bool result;
    std::vector<std::wstring> log;
};

class KeySecurityFailure : public KeySecurity, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(KeySecurityFailure, LogsTheStepAndLeavesNothingHeldNorAnyPrivilegeOn) {
    const FailureCase& c = GetParam();
    fake.outcomes = c.outcomes;
    EXPECT_EQ(Repair(), c.result);
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(fake.heldSecurity, 0);
    EXPECT_EQ(fake.openKeys, 0);
    EXPECT_TRUE(fake.privilegesOn.empty());
}
const std::wstring kDenied = L"Warning: \tFirst SetNamedSecurityInfo access denide";
const std::wstring kPermissions = L"Message: \tSuccessfully changed DACL permissions";

INSTANTIATE_TEST_SUITE_P(
    EachStep, KeySecurityFailure,
    ::testing::Values(
        // Step 1 and 2: the SIDs.
        FailureCase{{{"AllocateAndInitializeSid", {8}}},
                    false,
                    {L"!ERROR!: \tAllocateAndInitializeSid(Everyone)error 8"}},
        FailureCase{{{"AllocateAndInitializeSid", {0, 87}}},
                    false,
                    {L"!ERROR!: \tAllocateAndInitializeSid(Admin)error 87"}},
        // Step 3: the ACL; the line has no code.
        FailureCase{{{"SetEntriesInAclW", {1337}}}, false, {L"!ERROR!: \tFailed SetEntriesInAcl"}},
        // Step 4: the first write, hard failure.
        FailureCase{{{"RegSetKeySecurity", {2}}},
                    false,
                    {L"!ERROR!: \tFirst SetNamedSecurityInfo call failed: 2"}},
        // Step 5: the token, after a successful and after a denied first write.
        FailureCase{{{"OpenProcessToken", {5}}},
                    true,
                    {kPermissions, L"!ERROR!: \tOpenProcessToken failed: 5"}},
        FailureCase{{{"RegSetKeySecurity", {5}}, {"OpenProcessToken", {5}}},
                    false,
                    {kDenied, L"!ERROR!: \tOpenProcessToken failed: 5"}},
        // Step 6: looking up and enabling the privilege.
        FailureCase{{{"LookupPrivilegeValueW", {1313}}},
                    true,
                    {kPermissions, L"!ERROR!: \tLookupPrivilegeValue error: 1313",
                     L"!ERROR!: \tYou must be logged on as Administrator."}},
        FailureCase{{{"AdjustTokenPrivileges", {1300}}},
                    true,
                    {kPermissions, L"!ERROR!: \tYou must be logged on as Administrator."}},
        FailureCase{{{"RegSetKeySecurity", {5}}, {"AdjustTokenPrivileges", {1300}}},
                    false,
                    {kDenied, L"!ERROR!: \tYou must be logged on as Administrator."}},
        FailureCase{{{"AdjustTokenPrivileges", {6}}},
                    true,
                    {kPermissions, L"!ERROR!: \tAdjustTokenPrivileges error: 6",
                     L"!ERROR!: \tYou must be logged on as Administrator."}},
        // Step 7: the owner.
        FailureCase{{{"RegSetKeySecurity", {0, 5}}},
                    true,
                    {kPermissions, L"!ERROR!: \tCould not set owner. Error: 5"}},
        FailureCase{{{"RegSetKeySecurity", {5, 5}}},
                    false,
                    {kDenied, L"!ERROR!: \tCould not set owner. Error: 5"}},
        // Step 8: switching the privilege back.
        FailureCase{{{"AdjustTokenPrivileges", {0, 1300}}},
                    true,
                    {kPermissions, L"!ERROR!: \tFailed SetPrivilege call unexpectedly."}},
        FailureCase{{{"AdjustTokenPrivileges", {0, 6}}},
                    true,
                    {kPermissions, L"!ERROR!: \tAdjustTokenPrivileges error: 6",
                     L"!ERROR!: \tFailed SetPrivilege call unexpectedly."}},
        // Step 9: the second write decides only after a denied first write.
        FailureCase{{{"RegSetKeySecurity", {5, 0, 0}}},
                    true,
                    {kDenied, L"Message: \tSuccessfully changed DACL owner"}},
        FailureCase{{{"RegSetKeySecurity", {5, 0, 1314}}},
                    false,
                    {kDenied, L"!ERROR!: \tSecond SetNamedSecurityInfo call failed: 1314"}},
        FailureCase{{{"RegSetKeySecurity", {0, 0, 1314}}},
                    true,
                    {kPermissions, L"!ERROR!: \tSecond SetNamedSecurityInfo call failed: 1314"}}));

TEST_F(KeySecurity, APrivilegeSwitchIsJudgedByTheLastErrorOnlyWhenItSucceeds) {
    const tkr::ProcessToken token;
    for (DWORD code : {0u, 1300u, 6u}) {
        fake.outcomes["AdjustTokenPrivileges"] = {code};
        EXPECT_EQ(tkr::ScopedPrivilege::Enable(token, tkr::Privilege::TakeOwnership).Status(),
                  code);
    }
    EXPECT_TRUE(fake.privilegesOn.empty());
}

} // namespace
