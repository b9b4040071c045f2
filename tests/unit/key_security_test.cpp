// The key security repair's branches, against the scripted fake.
#include "fake_win.h"

#include "report/report.h"
#include "security/key_security.h"

#include <gtest/gtest.h>

using tkr::RepairKeySecurity;

namespace {

constexpr wchar_t kLog[] = L"C:\\logs\\run.log";
constexpr wchar_t kObject[] = L"CLASSES_ROOT\\.qk4";
const std::wstring kFirstWrite = L"SetNamedSecurityInfoW CLASSES_ROOT\\.qk4 type=4 info=4 "
                                 L"owner=null group=null dacl=acl sacl=null";
const std::wstring kOwnerWrite = L"SetNamedSecurityInfoW CLASSES_ROOT\\.qk4 type=4 info=1 "
                                 L"owner=Administrators group=null dacl=null sacl=null";
const std::wstring kEnable = L"AdjustTokenPrivileges token disableAll=0 count=1 luid=9 "
                             L"attributes=2 length=16 previous=null returnLength=null";
const std::wstring kDisable = L"AdjustTokenPrivileges token disableAll=0 count=1 luid=9 "
                              L"attributes=0 length=16 previous=null returnLength=null";

// The calls that acquire, use and release the repair's resources, without the log's file calls.
std::vector<std::wstring> SecurityCalls(const FakeWindows& fake) {
    std::vector<std::wstring> calls;
    for (const std::wstring& line : fake.journal) {
        if (line.rfind(L"CreateFileW", 0) != 0 && line.rfind(L"SetFilePointer", 0) != 0 &&
            line.rfind(L"WriteFile", 0) != 0 && line.rfind(L"CloseHandle C:", 0) != 0 &&
            line.rfind(L"GetFileInformationByHandleEx", 0) != 0) {
            calls.push_back(line);
        }
    }
    return calls;
}

class KeySecurity : public ::testing::Test {
  protected:
    void SetUp() override { tkr::RunLogPath = kLog; }
    void TearDown() override { tkr::RunLogPath.clear(); }
    std::vector<std::wstring> Log() const { return fake.LogLines(kLog); }
    FakeWindows fake;
};

TEST_F(KeySecurity, FullRepairMakesEveryCallInOrderAndReleasesInReverse) {
    EXPECT_TRUE(RepairKeySecurity(kObject, 2));
    const std::vector<std::wstring> expected = {
        L"AllocateAndInitializeSid authority=1 count=1 0 0 0 0 0 0 0 0",
        L"AllocateAndInitializeSid authority=5 count=2 32 544 0 0 0 0 0 0",
        L"SetEntriesInAclW count=2 old=null",
        kFirstWrite,
        L"OpenProcessToken current access=0x20",
        L"LookupPrivilegeValueW null SeTakeOwnershipPrivilege",
        kEnable,
        kOwnerWrite,
        L"LookupPrivilegeValueW null SeTakeOwnershipPrivilege",
        kDisable,
        kFirstWrite,
        L"FreeSid Administrators",
        L"FreeSid Everyone",
        L"LocalFree acl",
        L"CloseHandle token",
    };
    EXPECT_EQ(SecurityCalls(fake), expected);
    EXPECT_EQ(Log(), (std::vector<std::wstring>{L"Message: \tSuccessfully changed DACL permissions",
                                                L"Message: \tSuccessfully changed DACL owner"}));
}

TEST_F(KeySecurity, EntriesAreTheFixedPairWithTheGivenInheritance) {
    for (DWORD flags : {1u, 2u, 3u, 7u, 8u}) {
        fake.aclEntries.clear();
        ASSERT_TRUE(RepairKeySecurity(kObject, flags));
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
    std::vector<std::wstring> releases; // in order, after the failing step
};

class KeySecurityFailure : public KeySecurity, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(KeySecurityFailure, LogsTheStepReleasesWhatWasHeldAndReturns) {
    const FailureCase& c = GetParam();
    fake.outcomes = c.outcomes;
    EXPECT_EQ(RepairKeySecurity(kObject, 2), c.result);
    EXPECT_EQ(Log(), c.log);

    std::vector<std::wstring> releases;
    for (const std::wstring& line : SecurityCalls(fake)) {
        if (line.rfind(L"FreeSid", 0) == 0 || line.rfind(L"LocalFree", 0) == 0 ||
            line.rfind(L"CloseHandle", 0) == 0) {
            releases.push_back(line);
        }
    }
    EXPECT_EQ(releases, c.releases);
}

const std::vector<std::wstring> kAll = {L"FreeSid Administrators", L"FreeSid Everyone",
                                        L"LocalFree acl", L"CloseHandle token"};
const std::vector<std::wstring> kNoToken = {L"FreeSid Administrators", L"FreeSid Everyone",
                                            L"LocalFree acl"};
const std::wstring kDenied = L"Warning: \tFirst SetNamedSecurityInfo access denide";
const std::wstring kPermissions = L"Message: \tSuccessfully changed DACL permissions";

INSTANTIATE_TEST_SUITE_P(
    EachStep, KeySecurityFailure,
    ::testing::Values(
        // Step 1 and 2: the SIDs.
        FailureCase{{{"AllocateAndInitializeSid", {8}}},
                    false,
                    {L"!ERROR!: \tAllocateAndInitializeSid(Everyone)error 8"},
                    {}},
        FailureCase{{{"AllocateAndInitializeSid", {0, 87}}},
                    false,
                    {L"!ERROR!: \tAllocateAndInitializeSid(Admin)error 87"},
                    {L"FreeSid Everyone"}},
        // Step 3: the ACL; the line has no code.
        FailureCase{{{"SetEntriesInAclW", {1337}}},
                    false,
                    {L"!ERROR!: \tFailed SetEntriesInAcl"},
                    {L"FreeSid Administrators", L"FreeSid Everyone"}},
        // Step 4: the first write, hard failure.
        FailureCase{{{"SetNamedSecurityInfoW", {2}}},
                    false,
                    {L"!ERROR!: \tFirst SetNamedSecurityInfo call failed: 2"},
                    kNoToken},
        // Step 5: the token, after a successful and after a denied first write.
        FailureCase{{{"OpenProcessToken", {5}}},
                    true,
                    {kPermissions, L"!ERROR!: \tOpenProcessToken failed: 5"},
                    kNoToken},
        FailureCase{{{"SetNamedSecurityInfoW", {5}}, {"OpenProcessToken", {5}}},
                    false,
                    {kDenied, L"!ERROR!: \tOpenProcessToken failed: 5"},
                    kNoToken},
        // Step 6: looking up and enabling the privilege.
        FailureCase{{{"LookupPrivilegeValueW", {1313}}},
                    true,
                    {kPermissions, L"!ERROR!: \tLookupPrivilegeValue error: 1313",
                     L"!ERROR!: \tYou must be logged on as Administrator."},
                    kAll},
        FailureCase{{{"AdjustTokenPrivileges", {1300}}},
                    true,
                    {kPermissions, L"!ERROR!: \tYou must be logged on as Administrator."},
                    kAll},
        FailureCase{{{"SetNamedSecurityInfoW", {5}}, {"AdjustTokenPrivileges", {1300}}},
                    false,
                    {kDenied, L"!ERROR!: \tYou must be logged on as Administrator."},
                    kAll},
        FailureCase{{{"AdjustTokenPrivileges", {6}}},
                    true,
                    {kPermissions, L"!ERROR!: \tAdjustTokenPrivileges error: 6",
                     L"!ERROR!: \tYou must be logged on as Administrator."},
                    kAll},
        // Step 7: the owner.
        FailureCase{{{"SetNamedSecurityInfoW", {0, 5}}},
                    true,
                    {kPermissions, L"!ERROR!: \tCould not set owner. Error: 5"},
                    kAll},
        FailureCase{{{"SetNamedSecurityInfoW", {5, 5}}},
                    false,
                    {kDenied, L"!ERROR!: \tCould not set owner. Error: 5"},
                    kAll},
        // Step 8: looking up and disabling the privilege.
        FailureCase{{{"LookupPrivilegeValueW", {0, 1313}}},
                    true,
                    {kPermissions, L"!ERROR!: \tLookupPrivilegeValue error: 1313",
                     L"!ERROR!: \tFailed SetPrivilege call unexpectedly."},
                    kAll},
        FailureCase{{{"AdjustTokenPrivileges", {0, 1300}}},
                    true,
                    {kPermissions, L"!ERROR!: \tFailed SetPrivilege call unexpectedly."},
                    kAll},
        FailureCase{{{"AdjustTokenPrivileges", {0, 6}}},
                    true,
                    {kPermissions, L"!ERROR!: \tAdjustTokenPrivileges error: 6",
                     L"!ERROR!: \tFailed SetPrivilege call unexpectedly."},
                    kAll},
        // Step 9: the second write decides only after a denied first write.
        FailureCase{{{"SetNamedSecurityInfoW", {5, 0, 0}}},
                    true,
                    {kDenied, L"Message: \tSuccessfully changed DACL owner"},
                    kAll},
        FailureCase{{{"SetNamedSecurityInfoW", {5, 0, 1314}}},
                    false,
                    {kDenied, L"!ERROR!: \tSecond SetNamedSecurityInfo call failed: 1314"},
                    kAll},
        FailureCase{{{"SetNamedSecurityInfoW", {0, 0, 1314}}},
                    true,
                    {kPermissions, L"!ERROR!: \tSecond SetNamedSecurityInfo call failed: 1314"},
                    kAll}));

TEST_F(KeySecurity, PrivilegeStaysEnabledWhenTheOwnerCannotBeSet) {
    fake.outcomes["SetNamedSecurityInfoW"] = {5, 5};
    EXPECT_FALSE(RepairKeySecurity(kObject, 2));
    EXPECT_EQ(fake.Calls(L"AdjustTokenPrivileges"), std::vector<std::wstring>{kEnable});
}

TEST_F(KeySecurity, AdjustTokenPrivilegesIsJudgedByTheLastErrorOnlyWhenItSucceeds) {
    HANDLE token = reinterpret_cast<HANDLE>(0x7700);
    fake.outcomes["AdjustTokenPrivileges"] = {0, 1300, 6};
    EXPECT_TRUE(tkr::SetTokenPrivilegeState(token, LUID{9, 0}, true));
    EXPECT_FALSE(tkr::SetTokenPrivilegeState(token, LUID{9, 0}, false));
    EXPECT_FALSE(tkr::SetTokenPrivilegeState(token, LUID{9, 0}, true));
    EXPECT_EQ(Log(), std::vector<std::wstring>{L"!ERROR!: \tAdjustTokenPrivileges error: 6"});
    EXPECT_EQ(fake.Calls(L"AdjustTokenPrivileges"),
              (std::vector<std::wstring>{kEnable, kDisable, kEnable}));
}

} // namespace
