// The floor for the benchmark: exactly the Windows and console calls the tool must make per key
// (link check, the read of the key's owner and DACL that must precede any change, the security
// calls, the console lines, one open-append-close of the log per line, the walk), with no
// formatting and no strings beyond what the calls need.
#include <windows.h>
#include <aclapi.h>
#include <conio.h>
#include <shlwapi.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace {

std::wstring g_log;

void Line(const std::wstring& bytes) {
    const HANDLE file = CreateFileW(g_log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    LONG high = 0;
    SetFilePointer(file, 0, &high, FILE_END);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size() * 2), &written, nullptr);
    CloseHandle(file);
}

bool Repair(std::wstring& object, DWORD flags) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID everyone = nullptr;
    PSID admins = nullptr;
    AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone);
    AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &admins);
    EXPLICIT_ACCESS_W entries[2] = {};
    entries[0].grfAccessPermissions = GENERIC_READ;
    entries[0].grfAccessMode = SET_ACCESS;
    entries[0].grfInheritance = flags;
    entries[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entries[0].Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    entries[1] = entries[0];
    entries[1].grfAccessPermissions = GENERIC_ALL;
    entries[1].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
    entries[1].Trustee.ptstrName = static_cast<LPWSTR>(admins);
    PACL acl = nullptr;
    SetEntriesInAclW(2, entries, nullptr, &acl);
    const DWORD first = SetNamedSecurityInfoW(
        object.data(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr);
    Line(first == 0 ? L"Message: \tSuccessfully changed DACL permissions\r\n"
                    : L"Warning: \tFirst SetNamedSecurityInfo access denide\r\n");
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    LookupPrivilegeValueW(nullptr, L"SeTakeOwnershipPrivilege", &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 16, nullptr, nullptr);
    SetNamedSecurityInfoW(object.data(), SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, admins,
                          nullptr, nullptr, nullptr);
    LookupPrivilegeValueW(nullptr, L"SeTakeOwnershipPrivilege", &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = 0;
    AdjustTokenPrivileges(token, FALSE, &privileges, 16, nullptr, nullptr);
    const DWORD second = SetNamedSecurityInfoW(
        object.data(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr);
    Line(L"Message: \tSuccessfully changed DACL owner\r\n");
    FreeSid(admins);
    FreeSid(everyone);
    LocalFree(acl);
    CloseHandle(token);
    return first == 0 || second == 0;
}

void Walk(std::wstring& path, DWORD flags) {
    std::wstring object = L"CLASSES_ROOT\\" + path;
    wprintf(L"%ls\n", path.c_str());
    Line(path);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE,
                      &key) == 0) {
        DWORD type = 0;
        RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
        RegCloseKey(key);
    }
    PSECURITY_DESCRIPTOR before = nullptr;
    GetNamedSecurityInfoW(object.c_str(), SE_REGISTRY_KEY,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, nullptr, &before);
    LocalFree(before);
    const bool ok = Repair(object, flags);
    wprintf(ok ? L"DONE\n" : L"ERROR OCCURED\n");
    Line(ok ? L"Message: DONE\r\n" : L"!ERROR!: ERROR OCCURED\r\n");
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != 0) {
        return;
    }
    DWORD count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    const size_t length = path.size();
    wchar_t name[256];
    for (DWORD i = 0; i < count; ++i) {
        DWORD capacity = 256;
        if (RegEnumKeyExW(key, i, name, &capacity, nullptr, nullptr, nullptr, nullptr) == 0) {
            path.append(1, L'\\').append(name, capacity);
            Walk(path, flags);
            path.resize(length);
        }
    }
    RegCloseKey(key);
}

} // namespace

int wmain(int, wchar_t** argv) {
    // The log is named as the tool names it: program path without extension, local start time.
    std::wstring path = argv[0];
    PathRemoveExtensionW(path.data());
    path.resize(wcslen(path.c_str()));
    const __time64_t now = _time64(nullptr);
    struct tm local {};
    _localtime64_s(&local, &now);
    wchar_t suffix[128];
    g_log = path + std::wstring(suffix, wcsftime(suffix, 128, L"_%y%m%d_%H%M%S.log", &local));
    for (const wchar_t* table :
         {L".qk4", L".zor", L".wun", L".bym", L".kaf", L".27u", L".gli", L".tov", L".rux", L".mik",
          L".nol", L".ooq", L".lud", L".cwa", L".hib"}) {
        std::wstring path = table;
        Walk(path, 2);
    }
    wprintf(L"Press a key to close...");
    fflush(stdout);
    _getch();
    return 0;
}
