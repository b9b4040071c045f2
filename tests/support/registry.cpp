#include "registry.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>

namespace tkrtest {
namespace {

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;
struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};

LSTATUS SetSddl(HKEY key, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw,
                                                              nullptr)) {
        return static_cast<LSTATUS>(GetLastError());
    }
    const std::unique_ptr<void, LocalFreer> descriptor(raw);
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
    if (sddl[0] == L'O') {
        info |= OWNER_SECURITY_INFORMATION;
    }
    return RegSetKeySecurity(key, info, raw);
}

} // namespace

bool EnablePrivilege(const wchar_t* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const bool ok =
        LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) &&
        GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

LSTATUS SeedKey(const std::wstring& path, const wchar_t* sddl) {
    // Owners other than the caller need the restore privilege.
    static const bool restore = EnablePrivilege(L"SeRestorePrivilege");
    (void)restore;
    HKEY raw = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0,
                                     WRITE_OWNER | WRITE_DAC, nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const Key key(raw);
    return SetSddl(key.get(), sddl);
}

LSTATUS SeedLink(const std::wstring& path, const std::wstring& target, const wchar_t* sddl) {
    HKEY raw = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const Key key(raw);
    const std::wstring nt = L"\\Registry\\Machine\\Software\\Classes\\" + target;
    status = RegSetValueExW(key.get(), L"SymbolicLinkValue", 0, REG_LINK,
                            reinterpret_cast<const BYTE*>(nt.data()),
                            static_cast<DWORD>(nt.size() * sizeof(wchar_t)));
    return status == ERROR_SUCCESS && sddl ? SetSddl(key.get(), sddl) : status;
}

LSTATUS SeedChain(const std::wstring& parent, const std::vector<std::wstring>& names) {
    HKEY raw = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, parent.c_str(), 0, KEY_ALL_ACCESS, &raw);
    Key key(raw);
    for (const std::wstring& name : names) {
        if (status != ERROR_SUCCESS) {
            break;
        }
        status = RegCreateKeyExW(key.get(), name.c_str(), 0, nullptr, 0,
                                 KEY_ALL_ACCESS | WRITE_OWNER, nullptr, &raw, nullptr);
        if (status == ERROR_SUCCESS) {
            key.reset(raw);
            status = SetSddl(key.get(), kNormalSddl);
        }
    }
    return status;
}

LSTATUS SeedTree(const std::wstring& root, unsigned count) {
    // Fan-out cycles through 1..8 and depth through 1..4, so trees hold both chains and bushes.
    LSTATUS status = SeedKey(root);
    unsigned made = 1;
    for (unsigned branch = 0; made < count && status == ERROR_SUCCESS; ++branch) {
        std::wstring parent = root + L"\\b" + std::to_wstring(branch);
        status = SeedKey(parent);
        ++made;
        const unsigned depth = 1 + branch % 4;
        const unsigned fanOut = 1 + branch % 8;
        for (unsigned level = 0; level < depth && made < count && status == ERROR_SUCCESS;
             ++level) {
            for (unsigned leaf = 0; leaf < fanOut && made < count && status == ERROR_SUCCESS;
                 ++leaf) {
                status = SeedKey(parent + L"\\k" + std::to_wstring(leaf));
                ++made;
            }
            parent += L"\\k0";
        }
    }
    return status;
}

LSTATUS SeedWide(const std::wstring& root, unsigned count) {
    LSTATUS status = SeedKey(root);
    for (unsigned i = 1; i < count && status == ERROR_SUCCESS; ++i) {
        status = SeedKey(root + L"\\s" + std::to_wstring(i));
    }
    return status;
}

std::vector<BYTE> DescriptorFromSddl(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw,
                                                              &size)) {
        return {};
    }
    const std::unique_ptr<void, LocalFreer> descriptor(raw);
    return std::vector<BYTE>(static_cast<BYTE*>(raw), static_cast<BYTE*>(raw) + size);
}

std::wstring SddlOf(const std::vector<BYTE>& descriptor, SECURITY_INFORMATION info) {
    LPWSTR text = nullptr;
    if (descriptor.empty() ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(
            const_cast<BYTE*>(descriptor.data()), SDDL_REVISION_1, info, &text, nullptr)) {
        return L"error " + std::to_wstring(GetLastError());
    }
    const std::unique_ptr<void, LocalFreer> owner(text);
    return text;
}

LSTATUS ReadKeyDescriptor(const std::wstring& path, std::vector<BYTE>& descriptor) {
    HKEY raw = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, READ_CONTROL, &raw);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const Key key(raw);
    const SECURITY_INFORMATION info =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    RegGetKeySecurity(key.get(), info, nullptr, &size);
    descriptor.resize(size);
    return RegGetKeySecurity(key.get(), info, descriptor.data(), &size);
}

std::wstring KeySddl(const std::wstring& path) {
    std::vector<BYTE> descriptor;
    const LSTATUS status = ReadKeyDescriptor(path, descriptor);
    return status != ERROR_SUCCESS
               ? L"error " + std::to_wstring(status)
               : SddlOf(descriptor, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
}

bool KeyExists(const std::wstring& path) {
    HKEY raw = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, 0, &raw);
    const Key key(raw);
    return status == ERROR_SUCCESS || status == ERROR_ACCESS_DENIED;
}

bool StrictServer() {
    static const bool strict = [] {
        HKEY raw = nullptr;
        const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, 0, &raw);
        const Key key(raw);
        return status == ERROR_ACCESS_DENIED;
    }();
    return strict;
}

LSTATUS MoveKeyAway(const std::wstring& path) {
    HKEY raw = nullptr;
    LSTATUS status =
        RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), REG_OPTION_OPEN_LINK, KEY_WRITE, &raw);
    if (status == ERROR_ACCESS_DENIED) {
        // A key that grants administrators nothing but taking it (a test that ran without the
        // privilege leaves one): taken first.
        EnablePrivilege(SE_TAKE_OWNERSHIP_NAME);
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), REG_OPTION_OPEN_LINK, WRITE_OWNER,
                          &raw) == ERROR_SUCCESS) {
            PSECURITY_DESCRIPTOR owner = nullptr;
            if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BA", SDDL_REVISION_1,
                                                                     &owner, nullptr)) {
                RegSetKeySecurity(raw, OWNER_SECURITY_INFORMATION, owner);
                LocalFree(owner);
            }
            RegCloseKey(raw);
        }
        // A key that the tool gave inherit-only entries: its owner may still write the DACL.
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), REG_OPTION_OPEN_LINK, WRITE_DAC, &raw) ==
            ERROR_SUCCESS) {
            SetSddl(raw, L"D:P(A;;KA;;;BA)");
            RegCloseKey(raw);
        }
        status =
            RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), REG_OPTION_OPEN_LINK, KEY_WRITE, &raw);
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const Key key(raw);
    static unsigned serial = 0;
    const std::wstring name = L"tkr-moved-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++serial);
    return RegRenameKey(key.get(), nullptr, name.c_str());
}

LSTATUS MoveTableKeysAway(std::wstring* failedKey) {
    for (const std::wstring& key : kTableKeys) {
        if (!KeyExists(key)) {
            continue;
        }
        const LSTATUS status = MoveKeyAway(key);
        if (status != ERROR_SUCCESS) {
            if (failedKey) {
                *failedKey = key;
            }
            return status;
        }
    }
    return ERROR_SUCCESS;
}

std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return names;
        }
        names.emplace_back(name, length);
    }
}

namespace {

void DumpKey(HKEY parent, const std::wstring& name, const std::wstring& path,
             std::vector<std::wstring>& lines) {
    if (_wcsicmp(path.c_str(), L"HKEY_LOCAL_MACHINE\\System") == 0 ||
        path.ends_with(L"\\Windows NT\\CurrentVersion\\NetworkCards")) {
        return;
    }
    HKEY raw = nullptr;
    LSTATUS status =
        RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | KEY_WOW64_64KEY, &raw);
    if (status != ERROR_SUCCESS) {
        lines.push_back(path + L" unreadable " + std::to_wstring(status));
        return;
    }
    const Key key(raw);
    std::vector<BYTE> descriptor(65536);
    DWORD size = static_cast<DWORD>(descriptor.size());
    status = RegGetKeySecurity(key.get(),
                               OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION,
                               descriptor.data(), &size);
    lines.push_back(path + L" " +
                    (status == ERROR_SUCCESS ? SddlOf(descriptor, OWNER_SECURITY_INFORMATION |
                                                                      GROUP_SECURITY_INFORMATION |
                                                                      DACL_SECURITY_INFORMATION)
                                             : L"error " + std::to_wstring(status)));
    // One buffer for every key: the largest value name and value there can be.
    static std::vector<wchar_t> valueName(16384);
    static std::vector<BYTE> data(1 << 20);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(valueName.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueW(key.get(), i, valueName.data(), &nameLength, nullptr, &type, data.data(),
                          &dataSize) != ERROR_SUCCESS) {
            break;
        }
        std::wstring line = path + L" = " + std::wstring(valueName.data(), nameLength) + L" " +
                            std::to_wstring(type) + L":";
        for (DWORD b = 0; b < dataSize; ++b) {
            line += L"0123456789abcdef"[data[b] >> 4];
            line += L"0123456789abcdef"[data[b] & 15];
        }
        lines.push_back(line);
    }
    for (const std::wstring& name : SubkeyNames(key.get())) {
        DumpKey(key.get(), name, path + L"\\" + name, lines);
    }
}

} // namespace

std::vector<std::wstring> RegistryDump() {
    std::vector<std::wstring> lines;
    for (const auto& [root, name] : {std::pair{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"},
                                     std::pair{HKEY_USERS, L"HKEY_USERS"}}) {
        for (const std::wstring& child : SubkeyNames(root)) {
            DumpKey(root, child, std::wstring(name) + L"\\" + child, lines);
        }
    }
    return lines;
}

bool IsRepairedSddl(const std::wstring& sddl, unsigned inheritanceFlags) {
    std::wstring flags;
    if (inheritanceFlags & OBJECT_INHERIT_ACE) {
        flags += L"OI";
    }
    if (inheritanceFlags & CONTAINER_INHERIT_ACE) {
        flags += L"CI";
    }
    if (inheritanceFlags & NO_PROPAGATE_INHERIT_ACE) {
        flags += L"NP";
    }
    if (inheritanceFlags & INHERIT_ONLY_ACE) {
        flags += L"IO";
    }
    const size_t dacl = sddl.find(L"D:");
    if (sddl.rfind(L"O:BAD:", 0) != 0 || dacl == std::wstring::npos) {
        return false;
    }
    // The explicit entries, in order; inherited ones (flag ID) are Windows' to merge.
    std::vector<std::wstring> explicitEntries;
    for (size_t open = sddl.find(L'(', dacl); open != std::wstring::npos;
         open = sddl.find(L'(', open + 1)) {
        const std::wstring entry = sddl.substr(open + 1, sddl.find(L')', open) - open - 1);
        const size_t flagsStart = entry.find(L';') + 1;
        const std::wstring entryFlags =
            entry.substr(flagsStart, entry.find(L';', flagsStart) - flagsStart);
        bool inherited = false;
        for (size_t i = 0; i + 1 < entryFlags.size(); i += 2) {
            inherited |= entryFlags.compare(i, 2, L"ID") == 0;
        }
        if (!inherited) {
            explicitEntries.push_back(entry);
        }
    }
    // Wine keeps the generic rights as written; Windows may store them mapped to key rights.
    auto is = [&](size_t i, const wchar_t* generic, const wchar_t* mapped, const wchar_t* sid) {
        return i < explicitEntries.size() &&
               (explicitEntries[i] == L"A;" + flags + L";" + generic + L";;;" + sid ||
                explicitEntries[i] == L"A;" + flags + L";" + mapped + L";;;" + sid);
    };
    return explicitEntries.size() == 2 && is(0, L"GR", L"KR", L"WD") && is(1, L"GA", L"KA", L"BA");
}

} // namespace tkrtest
