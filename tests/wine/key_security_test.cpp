// The key security repair on Wine's registry, with its real access checks.
#include "files.h"
#include "registry.h"

#include "modes/repair_mode.h"
#include "report/report.h"

#include <gtest/gtest.h>

using namespace tkrtest;

namespace {

class KeySecurityOnRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        static unsigned serial = 0;
        root = L"tkr-scratch-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++serial);
        ASSERT_EQ(SeedKey(root), ERROR_SUCCESS);
        // As a run has it on: whether a key is a link is told whatever its DACL.
        ASSERT_TRUE(EnablePrivilege(L"SeSecurityPrivilege"));
    }
    void TearDown() override { MoveKeyAway(root); }
    // Repairs the key below the scratch root, reached through the root's handle as the walk
    // reaches it.
    bool Repair(const std::wstring& key, DWORD flags = 2) {
        HKEY parent = nullptr;
        EXPECT_EQ(
            RegOpenKeyExW(HKEY_CLASSES_ROOT, root.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &parent),
            ERROR_SUCCESS);
        const std::wstring path = root + L"\\" + key;
        const tkr::RepairDacl dacl(flags);
        const tkr::ProcessToken token;
        const tkr::RepairResult result = tkr::RepairKeySecurity(
            tkr::TreeKey(parent, tkr::FullKeyName(parent), key, path), dacl, token, {});
        tkr::LogRepairSteps(tkr::RunLog(log), result);
        const bool repaired = result.Repaired();
        RegCloseKey(parent);
        return repaired;
    }
    std::string Log() const { return ReadBytes(log); }

    std::wstring root;
    std::wstring log = ScratchDirectory(L"keysec") + L"\\run.log";
};

TEST_F(KeySecurityOnRegistry, AWritableKeyGetsTheDaclAndTheOwnerForEveryFlagWord) {
    for (DWORD flags : {2u, 3u, 7u, 8u}) {
        const std::wstring key = L"writable" + std::to_wstring(flags);
        ASSERT_EQ(SeedKey(root + L"\\" + key, L"O:BAD:P(A;;KA;;;BA)(A;;KR;;;BU)"), ERROR_SUCCESS);
        DeleteFileW(log.c_str());
        EXPECT_TRUE(Repair(key, flags));
        EXPECT_EQ(Log(), Utf16Bytes(L"Message: \tSuccessfully changed DACL permissions\r\n"
                                    L"Message: \tSuccessfully changed DACL owner\r\n"));
        const std::wstring sddl = KeySddl(root + L"\\" + key);
        EXPECT_TRUE(IsRepairedSddl(sddl, flags))
            << flags << ": " << std::string(sddl.begin(), sddl.end());
    }
}

TEST_F(KeySecurityOnRegistry, ADeniedFirstWriteIsRepairedByTheOwnershipPass) {
    ASSERT_EQ(SeedKey(root + L"\\denied", kDeniedSddl), ERROR_SUCCESS);
    EXPECT_TRUE(Repair(L"denied", 3));
    EXPECT_EQ(Log(), Utf16Bytes(L"Warning: \tFirst SetNamedSecurityInfo access denide\r\n"
                                L"Message: \tSuccessfully changed DACL owner\r\n"));
    EXPECT_TRUE(IsRepairedSddl(KeySddl(root + L"\\denied"), 3));
}

TEST_F(KeySecurityOnRegistry, ALockedKeyIsReportedAndLeftAsItWas) {
    ASSERT_EQ(SeedKey(root + L"\\locked", kLockedSddl), ERROR_SUCCESS);
    if (StrictServer()) { // Windows' rules: the take-ownership privilege opens it
        EXPECT_TRUE(Repair(L"locked"));
        EXPECT_TRUE(IsRepairedSddl(KeySddl(root + L"\\locked"), 2));
        return;
    }
    EXPECT_FALSE(Repair(L"locked"));
    EXPECT_EQ(Log(), Utf16Bytes(L"Warning: \tFirst SetNamedSecurityInfo access denide\r\n"
                                L"!ERROR!: \tCould not set owner. Error: 5\r\n"));
    // Unreadable before and after: the owner and DACL stayed SYSTEM's.
    EXPECT_EQ(KeySddl(root + L"\\locked"), L"error 5");
    EXPECT_TRUE(KeyExists(root + L"\\locked"));
}

TEST_F(KeySecurityOnRegistry, AMissingKeyFailsTheFirstWrite) {
    EXPECT_FALSE(Repair(L"missing"));
    EXPECT_EQ(Log(), Utf16Bytes(L"!ERROR!: \tFirst SetNamedSecurityInfo call failed: 2\r\n"));
    EXPECT_FALSE(KeyExists(root + L"\\missing"));
}

TEST_F(KeySecurityOnRegistry, OnlyTheTwoEntriesRemainWhateverTheKeyHeld) {
    ASSERT_EQ(SeedKey(root + L"\\crowded",
                      L"O:BAD:P(A;;KA;;;BA)(A;;KR;;;BU)(D;;KW;;;WD)(A;CI;KA;;;SY)(A;;KA;;;AU)"),
              ERROR_SUCCESS);
    EXPECT_TRUE(Repair(L"crowded", 2));
    EXPECT_TRUE(IsRepairedSddl(KeySddl(root + L"\\crowded"), 2));
}

} // namespace
