#include "selftest/windows_oracle.h"

#include "registry/tree_key.h"
#include "security/descriptor.h"
#include "selftest/evidence.h"
#include "selftest/registry_state.h"
#include "selftest/seeds.h"

#include <sddl.h>

#include <utility>
#include <vector>

namespace tkr::selftest {
namespace {

// The DACL the tool writes with its default options, as SDDL.
constexpr wchar_t kRepairSddl[] = L"O:BAD:(A;CI;GR;;;WD)(A;CI;GA;;;BA)";

struct PrivateSecurityTraits {
    using Type = PSECURITY_DESCRIPTOR;
    static Type Empty() { return nullptr; }
    static void Close(Type descriptor) { ::DestroyPrivateObjectSecurity(&descriptor); }
};

// Writes the repair's DACL to the key with the inherited entries Windows' own inheritance code
// computes from the parent's descriptor as it now is (what its propagating calls apply to each
// key below one they write), keeping the protection asked for. The write reaches this key alone.
WindowsAnswer WriteInheritedDacl(HKEY key, const Bytes& parent, const ACL* repairDacl,
                                 bool isProtected) {
    Bytes current;
    SECURITY_DESCRIPTOR wanted;
    PSID owner = nullptr;
    PSID group = nullptr;
    BOOL defaulted = FALSE;
    DWORD status =
        ReadKeySecurity(key, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, current);
    if (status != ERROR_SUCCESS ||
        !::InitializeSecurityDescriptor(&wanted, SECURITY_DESCRIPTOR_REVISION) ||
        !::GetSecurityDescriptorOwner(current.data(), &owner, &defaulted) ||
        !::GetSecurityDescriptorGroup(current.data(), &group, &defaulted) ||
        !::SetSecurityDescriptorOwner(&wanted, owner, FALSE) ||
        !::SetSecurityDescriptorGroup(&wanted, group, FALSE) ||
        !::SetSecurityDescriptorDacl(&wanted, TRUE, const_cast<ACL*>(repairDacl), FALSE) ||
        !::SetSecurityDescriptorControl(&wanted, SE_DACL_PROTECTED,
                                        isProtected ? SE_DACL_PROTECTED : 0)) {
        return {ERROR_SUCCESS, status != ERROR_SUCCESS ? status : ::GetLastError(), L""};
    }
    GENERIC_MAPPING keyRights = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    Unique<PrivateSecurityTraits> computed;
    if (!::ConvertToAutoInheritPrivateObjectSecurity(const_cast<BYTE*>(parent.data()), &wanted,
                                                     computed.put(), nullptr, TRUE, &keyRights)) {
        return {::GetLastError(), ERROR_SUCCESS, L""};
    }
    return {ERROR_SUCCESS,
            static_cast<DWORD>(::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, computed.get())),
            L""};
}

} // namespace

// Windows' own answer: on the twin, key by key from the top, the repair's sequence (DACL, owner,
// DACL), each key reached through the one above it as itself.
WindowsAnswer ApplyWindowsSequence(const ProcessToken& token) {
    UniqueDescriptor repair;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kRepairSddl, SDDL_REVISION_1,
                                                                repair.put(), nullptr) ||
        !::GetSecurityDescriptorDacl(repair.get(), &present, &dacl, &defaulted)) {
        return {ERROR_SUCCESS, ::GetLastError(), kTwin};
    }
    const ScopedPrivilege take = ScopedPrivilege::Enable(token, Privilege::TakeOwnership);
    const std::wstring scratchTwin = Join(kTwin, L"tkr-selftest");
    std::vector<std::pair<std::wstring, bool>> keys = {{kTwin, false}, {scratchTwin, false}};
    for (const FamilyKey& family : kFamily) {
        keys.emplace_back(Join(scratchTwin, family.path), family.isProtected);
    }
    for (const auto& [path, isProtected] : keys) {
        const size_t last = path.rfind(L'\\');
        UniqueKey key;
        Bytes parent;
        LSTATUS status =
            OpenPath(HKEY_CLASSES_ROOT, path, READ_CONTROL | WRITE_DAC | WRITE_OWNER, key);
        if (status == ERROR_SUCCESS) {
            status = last == std::wstring::npos
                         ? ReadKeySecurity(HKEY_CLASSES_ROOT,
                                           OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                               DACL_SECURITY_INFORMATION,
                                           parent)
                         : ReadDescriptorAt(HKEY_CLASSES_ROOT, path.substr(0, last), token, parent);
        }
        WindowsAnswer answer{ERROR_SUCCESS, static_cast<DWORD>(status), path};
        if (status == ERROR_SUCCESS) {
            answer = WriteInheritedDacl(key.get(), parent, dacl, isProtected);
        }
        if (answer.inheritance == ERROR_SUCCESS && answer.status == ERROR_SUCCESS) {
            answer.status = static_cast<DWORD>(SetSddl(key.get(), L"O:BA"));
        }
        if (answer.inheritance == ERROR_SUCCESS && answer.status == ERROR_SUCCESS) {
            answer = WriteInheritedDacl(key.get(), parent, dacl, isProtected);
        }
        if (answer.inheritance != ERROR_SUCCESS || answer.status != ERROR_SUCCESS) {
            answer.where = path;
            return answer;
        }
    }
    return {};
}

} // namespace tkr::selftest
