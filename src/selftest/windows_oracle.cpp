#include "selftest/windows_oracle.h"

#include "platform/win_api.h"
#include "registry/tree_key.h"
#include "security/descriptor.h"
#include "security/key_security.h"
#include "selftest/registry_state.h"
#include "selftest/seeds.h"

#include <utility>
#include <vector>

namespace tkr::selftest {

WindowsAnswer ApplyWindowsPropagation(const ProcessToken& token, DWORD inheritanceFlags) {
    // The explicit entries the tool writes with these options.
    const RepairDacl repair(inheritanceFlags);
    if (repair.Built().stoppedAt != RepairStep::None) {
        return {repair.Built().code, kTwin};
    }
    const PACL dacl = repair.Acl();
    const ScopedPrivilege take = ScopedPrivilege::Enable(token, Privilege::TakeOwnership);
    // The top stands for the table key: its DACL as the repair left it, entries and flags.
    Bytes table;
    UniqueKey top;
    LSTATUS status = ReadDescriptorAt(HKEY_CLASSES_ROOT, kScratchTable, token, table);
    status = status == ERROR_SUCCESS
                 ? OpenPath(HKEY_CLASSES_ROOT, kTwin, READ_CONTROL | WRITE_DAC, top)
                 : status;
    status = status == ERROR_SUCCESS
                 ? win::RegSetKeySecurity(top.get(), DACL_SECURITY_INFORMATION, table.data())
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
                         : static_cast<LSTATUS>(win::SetSecurityInfo(
                               key.get(), SE_REGISTRY_KEY, info, nullptr, nullptr, dacl, nullptr));
        }
        if (status != ERROR_SUCCESS) {
            return {static_cast<DWORD>(status), path};
        }
    }
    return {};
}

} // namespace tkr::selftest
