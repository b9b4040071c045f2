#include "selftest/windows_oracle.h"

#include "registry/tree_key.h"
#include "security/descriptor.h"
#include "selftest/evidence.h"
#include "selftest/registry_state.h"
#include "selftest/seeds.h"

#include <aclapi.h>
#include <sddl.h>

#include <utility>
#include <vector>

namespace tkr::selftest {

WindowsAnswer ApplyWindowsPropagation(const ProcessToken& token) {
    // The explicit entries the tool writes with its default options.
    UniqueDescriptor repair;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;CI;GR;;;WD)(A;CI;GA;;;BA)", SDDL_REVISION_1, repair.put(), nullptr) ||
        !::GetSecurityDescriptorDacl(repair.get(), &present, &dacl, &defaulted)) {
        return {::GetLastError(), kTwin};
    }
    const ScopedPrivilege take = ScopedPrivilege::Enable(token, Privilege::TakeOwnership);
    // The top stands for the table key: its DACL as the repair left it, entries and flags.
    Bytes table;
    UniqueKey top;
    LSTATUS status = ReadDescriptorAt(HKEY_CLASSES_ROOT, kScratchTable, token, table);
    status = status == ERROR_SUCCESS
                 ? OpenPath(HKEY_CLASSES_ROOT, kTwin, READ_CONTROL | WRITE_DAC, top)
                 : status;
    status = status == ERROR_SUCCESS
                 ? ::RegSetKeySecurity(top.get(), DACL_SECURITY_INFORMATION, table.data())
                 : status;
    if (status != ERROR_SUCCESS) {
        return {static_cast<DWORD>(status), kTwin};
    }
    const std::wstring scratchTwin = Join(kTwin, L"tkr-selftest");
    std::vector<std::pair<std::wstring, bool>> keys = {{scratchTwin, false}};
    for (const FamilyKey& family : kFamily) {
        keys.emplace_back(Join(scratchTwin, family.path), family.isProtected);
    }
    for (const auto& [path, isProtected] : keys) {
        const SECURITY_INFORMATION info =
            DACL_SECURITY_INFORMATION | (isProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
        UniqueKey key;
        status = OpenPath(HKEY_CLASSES_ROOT, path, READ_CONTROL | WRITE_DAC | WRITE_OWNER, key);
        for (int step = 0; step < 3 && status == ERROR_SUCCESS; ++step) {
            status = step == 1
                         ? SetSddl(key.get(), L"O:BA")
                         : static_cast<LSTATUS>(::SetSecurityInfo(key.get(), SE_REGISTRY_KEY, info,
                                                                  nullptr, nullptr, dacl, nullptr));
        }
        if (status != ERROR_SUCCESS) {
            return {static_cast<DWORD>(status), path};
        }
    }
    return {};
}

} // namespace tkr::selftest
