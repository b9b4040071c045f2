#include "fake_win.h"

#include "registry.h"

#include "platform/win_api.h"
#include "security/key_security.h"

#include <sddl.h>
#include <shlwapi.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <cwchar>
#include <sstream>

FakeWindows* g_fake = nullptr;

namespace {

// The SIDs and the ACL the security calls hand out: real ones, as the DACL the tool computes
// is made of their bytes.
PSID const kEveryoneSid = const_cast<SID*>(&tkr::EveryoneSid());
PSID const kAdminsSid = const_cast<SID*>(&tkr::AdministratorsSid());
// The repair's ACLs, by the inheritance flags their entries were given.
std::map<DWORD, std::vector<BYTE>> g_repairAcls;
PACL RepairAcl(DWORD flags) {
    std::vector<BYTE>& acl = g_repairAcls[flags];
    if (acl.empty()) {
        acl.resize(256);
        auto* list = reinterpret_cast<ACL*>(acl.data());
        ::InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION);
        ::AddAccessAllowedAceEx(list, ACL_REVISION, flags, GENERIC_READ, kEveryoneSid);
        ::AddAccessAllowedAceEx(list, ACL_REVISION, flags, GENERIC_ALL, kAdminsSid);
    }
    return reinterpret_cast<ACL*>(acl.data());
}
const HANDLE kToken = reinterpret_cast<HANDLE>(0x7700);
constexpr DWORD kSecurityLuid = 8;
constexpr DWORD kBackupLuid = 17;

std::wstring Hex(unsigned value) {
    std::wostringstream out;
    out << L"0x" << std::hex << value;
    return out.str();
}

const wchar_t* SidName(PSID sid) {
    if (sid == nullptr) {
        return L"null";
    }
    if (::EqualSid(sid, kEveryoneSid)) {
        return L"Everyone";
    }
    return ::EqualSid(sid, kAdminsSid) ? L"Administrators" : L"?";
}

void Log(const std::wstring& line) {
    g_fake->journal.push_back(line);
}

BOOL Fail(DWORD code) {
    g_fake->lastError = code;
    return code == ERROR_SUCCESS;
}

HANDLE NewHandle(const std::wstring& name) {
    const HANDLE handle = reinterpret_cast<HANDLE>(g_fake->nextHandle += 4);
    g_fake->handles[handle] = name;
    return handle;
}

const std::wstring& KeyPathOf(HKEY key) {
    return g_fake->keyHandles.at(key).path;
}

// The key a handle holds, or null once that key is deleted (even if one of its name was made
// again).
FakeKey* NodeOf(HKEY key) {
    const FakeWindows::KeyHandle& handle = g_fake->keyHandles.at(key);
    const auto node = g_fake->keys.find(handle.path);
    return node != g_fake->keys.end() && node->second.id == handle.id ? &node->second : nullptr;
}

constexpr wchar_t kMachineClasses[] = L"HKLM\\SOFTWARE\\Classes";

// A physical path as `keys` names it: the machine's classes by their path below their root.
std::wstring Canonical(const std::wstring& path) {
    const std::wstring prefix = std::wstring(kMachineClasses) + L"\\";
    return ::CompareStringOrdinal(
               path.c_str(), static_cast<int>(std::min(path.size(), prefix.size())), prefix.c_str(),
               static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL
               ? path.substr(prefix.size())
               : path;
}

// The name a handle to the key at `path` gives.
std::wstring FullNameOf(const std::wstring& path, const FakeKey& node) {
    if (!node.fullName.empty()) {
        return node.fullName;
    }
    if (path.rfind(L"HKLM\\", 0) == 0) {
        return L"\\REGISTRY\\MACHINE\\" + path.substr(5);
    }
    if (path.rfind(L"HKU\\", 0) == 0) {
        return L"\\REGISTRY\\USER\\" + path.substr(4);
    }
    return L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\" + path;
}

// The subkeys a handle lists: its key's, and through HKEY_CLASSES_ROOT the other classes
// root's of the same path too.
std::vector<std::wstring> ChildrenOf(HKEY key) {
    const FakeWindows::KeyHandle& handle = g_fake->keyHandles.at(key);
    std::vector<std::wstring> children = g_fake->keys.at(handle.path).children;
    if (handle.merged) {
        const std::wstring other =
            handle.path == handle.logical ? g_fake->UserKey(handle.logical) : handle.logical;
        const auto node = g_fake->keys.find(other);
        for (const std::wstring& child :
             node != g_fake->keys.end() ? node->second.children : std::vector<std::wstring>{}) {
            if (std::find(children.begin(), children.end(), child) == children.end()) {
                children.push_back(child);
            }
        }
    }
    return children;
}

} // namespace

FakeWindows::FakeWindows() {
    assert(g_fake == nullptr);
    g_fake = this;
    // The classes roots: what a table key inherits from, protected and readable.
    AddKey(L"HKLM\\SOFTWARE");
    AddKey(kMachineClasses);
    AddKey(L"HKU\\" + userSid + L"_Classes");
}
FakeWindows::~FakeWindows() {
    g_fake = nullptr;
}

void FakeWindows::AddKey(const std::wstring& path, const FakeKey& key) {
    keys[path] = key;
    keys[path].id = ++nextKeyId;
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) {
        keys[path.substr(0, slash)].children.push_back(path.substr(slash + 1));
    }
}

void FakeWindows::DeleteKey(const std::wstring& path) {
    keys.erase(path);
    const size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos) {
        std::erase(keys[path.substr(0, slash)].children, path.substr(slash + 1));
    }
}

std::wstring FakeWindows::UserKey(const std::wstring& path) const {
    return L"HKU\\" + userSid + L"_Classes\\" + path;
}

std::vector<std::wstring> FakeWindows::Calls(const std::wstring& prefix) const {
    std::vector<std::wstring> found;
    for (const std::wstring& line : journal) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

std::vector<std::wstring> FakeWindows::LogLines(const std::wstring& path) const {
    std::vector<std::wstring> lines;
    const auto file = files.find(path);
    if (file == files.end()) {
        return lines;
    }
    const std::wstring& text = file->second;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find(L"\r\n", start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::wstring::npos ? text.size() : end + 2;
    }
    return lines;
}

DWORD FakeWindows::Next(const char* call) {
    auto& queue = outcomes[call];
    if (queue.empty()) {
        return ERROR_SUCCESS;
    }
    const DWORD code = queue.front();
    queue.pop_front();
    return code;
}

// The fake's side of the seam: the calls, as Windows types them.
namespace fakes {

LSTATUS WINAPI RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM desired,
                             PHKEY result) {
    const std::wstring name = subKey != nullptr ? subKey : L"";
    FakeWindows::KeyHandle opened;
    if (root == HKEY_CLASSES_ROOT ||
        (g_fake->keyHandles.count(root) != 0 && g_fake->keyHandles.at(root).merged)) {
        // The merged view: the user's key of the path where it exists, the machine's otherwise.
        opened.merged = true;
        opened.logical = root == HKEY_CLASSES_ROOT ? name
                         : name.empty()            ? g_fake->keyHandles.at(root).logical
                                        : g_fake->keyHandles.at(root).logical + L"\\" + name;
        const std::wstring user = g_fake->UserKey(opened.logical);
        opened.path = g_fake->keys.count(user) != 0 ? user : opened.logical;
    } else {
        const std::wstring base = root == HKEY_LOCAL_MACHINE ? L"HKLM"
                                  : root == HKEY_USERS       ? L"HKU"
                                                             : KeyPathOf(root);
        opened.path = Canonical(name.empty() ? base : base + L"\\" + name);
    }
    const std::wstring& path = opened.path;
    Log(L"RegOpenKeyExW " + path + L" options=" + Hex(options) + L" access=" + Hex(desired));
    // How each key was reached: one component at a time from the handle above it, and whether
    // the open could have followed a link with some access.
    const REGSAM access = desired & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    g_fake->opens.push_back(
        (name.find(L'\\') == std::wstring::npos ? L"relative " : L"by path ") +
        std::wstring((options & REG_OPTION_OPEN_LINK) != 0 || access == ACCESS_SYSTEM_SECURITY
                         ? L"itself "
                         : L"followed ") +
        path);
    // Below a physical key that is gone, nothing; the merged view resolves by the path, so a handle
    // it gave reaches whatever key that path reaches now.
    if (!opened.merged && g_fake->keyHandles.count(root) != 0 && NodeOf(root) == nullptr) {
        return ERROR_KEY_DELETED;
    }
    const auto key = g_fake->keys.find(path);
    // A link's target is none of the fake's keys: an open that follows it finds nothing.
    if (key == g_fake->keys.end() ||
        (key->second.isLink && (options & REG_OPTION_OPEN_LINK) == 0)) {
        return ERROR_FILE_NOT_FOUND;
    }
    // As on Windows: nothing is granted to a request for nothing; ACCESS_SYSTEM_SECURITY is
    // granted by the security privilege whatever the DACL, and without it never.
    if (access == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (access == ACCESS_SYSTEM_SECURITY) {
        if (g_fake->privilegesOn.count(kSecurityLuid) == 0) {
            return ERROR_PRIVILEGE_NOT_HELD;
        }
    } else if (key->second.openStatus != ERROR_SUCCESS) {
        return key->second.openStatus;
    } else if ((access & key->second.deniedAccess) != 0 &&
               !(g_fake->backupOpens && (options & REG_OPTION_BACKUP_RESTORE) != 0 &&
                 g_fake->privilegesOn.count(kBackupLuid) != 0)) {
        return ERROR_ACCESS_DENIED;
    }
    opened.id = key->second.id;
    *result = static_cast<HKEY>(reinterpret_cast<HANDLE>(g_fake->nextHandle += 4));
    g_fake->keyHandles[*result] = opened;
    g_fake->peakOpenKeys = std::max(g_fake->peakOpenKeys, ++g_fake->openKeys);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY key, LPWSTR, LPDWORD, LPDWORD, LPDWORD subKeys, LPDWORD,
                                LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME) {
    const FakeKey* node = NodeOf(key);
    if (node == nullptr) {
        return ERROR_KEY_DELETED;
    }
    if (node->countStatus != ERROR_SUCCESS) {
        *subKeys = 12345; // whatever Windows left there must not be used
        return node->countStatus;
    }
    *subKeys = static_cast<DWORD>(ChildrenOf(key).size());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD,
                             LPWSTR, LPDWORD, PFILETIME) {
    Log(L"RegEnumKeyExW " + KeyPathOf(key) + L" " + std::to_wstring(index));
    const FakeKey* node = NodeOf(key);
    if (node == nullptr) {
        return ERROR_KEY_DELETED;
    }
    const std::vector<std::wstring> children = ChildrenOf(key);
    if (index >= children.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (node->unreadableIndices.count(index) != 0) {
        return ERROR_MORE_DATA; // as for a name longer than any buffer
    }
    const std::wstring& child = children[index];
    if (child.size() + 1 > *nameLength) {
        return ERROR_MORE_DATA;
    }
    std::copy(child.begin(), child.end(), name);
    name[child.size()] = L'\0';
    *nameLength = static_cast<DWORD>(child.size());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE,
                                LPDWORD) {
    const FakeKey* node = NodeOf(key);
    if (node == nullptr) {
        return ERROR_KEY_DELETED;
    }
    if (node->linkQueryStatus != ERROR_SUCCESS) {
        return node->linkQueryStatus;
    }
    if (!node->isLink || std::wstring(valueName) != L"SymbolicLinkValue") {
        return ERROR_FILE_NOT_FOUND;
    }
    *type = REG_LINK;
    return ERROR_MORE_DATA; // no buffer was given for the target
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    g_fake->keyHandles.erase(key);
    --g_fake->openKeys;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY key, BOOL, DWORD, HANDLE, BOOL) {
    Log(L"RegNotifyChangeKeyValue " + KeyPathOf(key));
    return static_cast<LSTATUS>(g_fake->Next("RegNotifyChangeKeyValue"));
}

LSTATUS WINAPI RegGetKeySecurity(HKEY key, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR descriptor,
                                 LPDWORD length) {
    const FakeKey* node = NodeOf(key);
    if (node == nullptr) {
        return ERROR_KEY_DELETED;
    }
    if (node->readStatus != ERROR_SUCCESS) {
        return node->readStatus;
    }
    const std::vector<BYTE> converted = tkrtest::DescriptorFromSddl(node->sddl);
    const DWORD size = static_cast<DWORD>(converted.size());
    const LSTATUS status = *length < size ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) {
        std::memcpy(descriptor, converted.data(), size);
    }
    *length = size;
    return status;
}

LSTATUS WINAPI RegSetKeySecurity(HKEY key, SECURITY_INFORMATION info,
                                 PSECURITY_DESCRIPTOR descriptor) {
    const std::wstring& path = KeyPathOf(key);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    Log(L"RegSetKeySecurity " + path + L" info=" + std::to_wstring(info) + L" owner=" +
        SidName(owner));
    FakeKey* node = NodeOf(key);
    if (node == nullptr) {
        return ERROR_KEY_DELETED;
    }
    const auto* bytes = static_cast<const BYTE*>(descriptor);
    const std::vector<BYTE> written(bytes, bytes + ::GetSecurityDescriptorLength(descriptor));
    if ((info & DACL_SECURITY_INFORMATION) != 0) {
        node->writtenDacl = tkrtest::SddlOf(written, DACL_SECURITY_INFORMATION);
    }
    const auto status = static_cast<LSTATUS>(g_fake->Next("RegSetKeySecurity"));
    if (g_fake->keepsWrites && status == ERROR_SUCCESS) {
        const std::wstring parts = tkrtest::SddlOf(written, info);
        std::wstring kept;
        for (const wchar_t tag : {L'O', L'G', L'D'}) {
            kept += SddlPart(SddlPart(parts, tag).empty() ? node->sddl : parts, tag);
        }
        node->sddl = kept;
    }
    if (g_fake->onSetSecurity) {
        g_fake->onSetSecurity(path);
    }
    return status;
}

DWORD WINAPI SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE, SECURITY_INFORMATION info, PSID, PSID,
                             PACL dacl, PACL) {
    const auto key = static_cast<HKEY>(handle);
    if (NodeOf(key) == nullptr) {
        return ERROR_KEY_DELETED;
    }
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
    LPWSTR text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        &descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
    const std::wstring own = text;
    ::LocalFree(text);
    PropagateDacl(KeyPathOf(key), own.substr(own.find(L'(')),
                  (info & PROTECTED_DACL_SECURITY_INFORMATION) != 0);
    return ERROR_SUCCESS;
}

// Creating keys and values, and deleting keys: the self-test's, which no unit test asks for.
LSTATUS WINAPI RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM,
                               const LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD) {
    return ERROR_ACCESS_DENIED;
}
LSTATUS WINAPI RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return ERROR_ACCESS_DENIED;
}
LONG WINAPI NtDeleteKey(HANDLE) {
    return static_cast<LONG>(0xC0000022); // STATUS_ACCESS_DENIED
}

LONG WINAPI NtQueryKey(HANDLE key, int, PVOID information, ULONG length, PULONG resultLength) {
    const FakeKey* node = NodeOf(static_cast<HKEY>(key));
    if (node == nullptr || node->nameUnreadable) {
        *resultLength = 0;
        return static_cast<LONG>(node == nullptr ? 0xC000017C   // STATUS_KEY_DELETED
                                                 : 0xC0000022); // STATUS_ACCESS_DENIED
    }
    const std::wstring name = FullNameOf(KeyPathOf(static_cast<HKEY>(key)), *node);
    const ULONG bytes = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    *resultLength = sizeof(ULONG) + bytes;
    if (length < *resultLength) {
        return static_cast<LONG>(0x80000005); // STATUS_BUFFER_OVERFLOW
    }
    std::memcpy(information, &bytes, sizeof bytes);
    std::memcpy(static_cast<BYTE*>(information) + sizeof bytes, name.data(), bytes);
    return 0;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE, DWORD, DWORD, DWORD,
                                     DWORD, DWORD, DWORD, DWORD, DWORD, PSID* sid) {
    if (!Fail(g_fake->Next("AllocateAndInitializeSid"))) {
        return FALSE;
    }
    *sid = authority->Value[5] == 1 ? kEveryoneSid : kAdminsSid;
    ++g_fake->heldSecurity;
    return TRUE;
}

PVOID WINAPI FreeSid(PSID) {
    --g_fake->heldSecurity;
    return nullptr;
}

DWORD WINAPI SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL, PACL* newAcl) {
    g_fake->aclEntries.assign(entries, entries + count);
    const DWORD code = g_fake->Next("SetEntriesInAclW");
    if (code == ERROR_SUCCESS) {
        *newAcl = RepairAcl(count != 0 ? entries[0].grfInheritance : 0);
        ++g_fake->heldSecurity;
    }
    return code;
}

HANDLE WINAPI GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(-1);
}

BOOL WINAPI OpenProcessToken(HANDLE, DWORD, PHANDLE token) {
    if (!Fail(g_fake->Next("OpenProcessToken"))) {
        return FALSE;
    }
    *token = kToken;
    ++g_fake->heldSecurity;
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR, LPCWSTR name, PLUID luid) {
    if (!Fail(g_fake->Next("LookupPrivilegeValueW"))) {
        return FALSE;
    }
    // A LUID of its own for each privilege: 9 for take-ownership, as its tests know it.
    const std::wstring privilege = name;
    *luid = LUID{privilege == L"SeTakeOwnershipPrivilege" ? 9u
                 : privilege == L"SeSecurityPrivilege"    ? kSecurityLuid
                 : privilege == L"SeBackupPrivilege"      ? kBackupLuid
                                                          : 18u,
                 0};
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES state, DWORD,
                                  PTOKEN_PRIVILEGES previous, PDWORD) {
    const DWORD code = g_fake->Next("AdjustTokenPrivileges");
    g_fake->lastError = code;
    if (code == ERROR_SUCCESS) {
        const LUID_AND_ATTRIBUTES& privilege = state->Privileges[0];
        const bool wasOn = g_fake->privilegesOn.count(privilege.Luid.LowPart) != 0;
        if (previous != nullptr) { // as Windows: only a privilege whose state changed
            previous->PrivilegeCount = wasOn != (privilege.Attributes == SE_PRIVILEGE_ENABLED);
            previous->Privileges[0] = {privilege.Luid, wasOn ? SE_PRIVILEGE_ENABLED : 0u};
        }
        if (privilege.Attributes == SE_PRIVILEGE_ENABLED) {
            g_fake->privilegesOn.insert(privilege.Luid.LowPart);
        } else {
            g_fake->privilegesOn.erase(privilege.Luid.LowPart);
        }
    }
    return code == ERROR_SUCCESS || code == ERROR_NOT_ALL_ASSIGNED;
}

BOOL WINAPI GetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS infoClass, LPVOID information,
                                DWORD length, PDWORD needed) {
    PSID sid = nullptr;
    if (infoClass != TokenUser || !::ConvertStringSidToSidW(g_fake->userSid.c_str(), &sid)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD sidSize = ::GetLengthSid(sid);
    *needed = sizeof(TOKEN_USER) + sidSize;
    BOOL done = Fail(length < *needed ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
    if (done) {
        auto* user = static_cast<TOKEN_USER*>(information);
        user->User.Attributes = 0;
        user->User.Sid = static_cast<BYTE*>(information) + sizeof(TOKEN_USER);
        std::memcpy(user->User.Sid, sid, sidSize);
    }
    ::LocalFree(sid);
    return done;
}

DWORD WINAPI GetLastError() {
    return g_fake->lastError;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    const bool repairAcl =
        std::any_of(g_repairAcls.begin(), g_repairAcls.end(),
                    [&](const auto& acl) { return memory == acl.second.data(); });
    if (repairAcl) {
        --g_fake->heldSecurity;
        return nullptr;
    }
    return ::LocalFree(memory); // what the real conversions allocated
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    if (handle == kToken) {
        --g_fake->heldSecurity;
    } else {
        Log(L"CloseHandle " + g_fake->handles.at(handle));
        g_fake->handles.erase(handle);
    }
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) {
    return NewHandle(L"event");
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD) {
    if (g_fake->handles.at(handle).rfind(L"mutex ", 0) == 0) {
        return g_fake->runLockHeld ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    }
    if (g_fake->onWait) {
        g_fake->onWait();
    }
    // Scripted 1 means the key changed under the read; otherwise nothing happened.
    return g_fake->Next("WaitForSingleObject") == 1 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR name, DWORD size) {
    const std::wstring path = L"C:\\Tools\\typekey-repair.exe";
    const DWORD copied = static_cast<DWORD>(std::min<size_t>(path.size(), size));
    std::copy(path.begin(), path.begin() + copied, name);
    if (copied < size) {
        name[copied] = L'\0';
    }
    return copied;
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD, HANDLE) {
    DWORD code = *name == L'\0' ? ERROR_PATH_NOT_FOUND : g_fake->Next("CreateFileW");
    if (code == ERROR_SUCCESS && disposition == CREATE_NEW && g_fake->files.count(name) != 0) {
        code = ERROR_FILE_EXISTS;
    }
    if (!Fail(code)) {
        return INVALID_HANDLE_VALUE;
    }
    g_fake->files[name]; // created if missing, kept if present
    return NewHandle(name);
}

BOOL WINAPI ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED); // undo files are read on Wine's file system
}

BOOL WINAPI GetFileInformationByHandleEx(HANDLE, FILE_INFO_BY_HANDLE_CLASS infoClass,
                                         LPVOID information, DWORD) {
    if (infoClass == FileStandardInfo) {
        auto* standard = static_cast<FILE_STANDARD_INFO*>(information);
        *standard = FILE_STANDARD_INFO{};
        standard->NumberOfLinks = 1;
    } else {
        auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(information);
        *tag = FILE_ATTRIBUTE_TAG_INFO{};
    }
    return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security) {
    LPWSTR sddl = nullptr;
    if (security != nullptr && ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                   security->lpSecurityDescriptor, SDDL_REVISION_1,
                                   DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        g_fake->folders[name] = sddl;
        ::LocalFree(sddl);
    } else {
        g_fake->folders[name] = L"inherited";
    }
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE file) {
    const std::wstring& path = g_fake->handles.at(file);
    Log(L"FlushFileBuffers " + path);
    g_fake->flushed[path] = g_fake->files[path].size();
    return TRUE;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR name) {
    if (!Fail(g_fake->Next("CreateMutexW"))) {
        return nullptr;
    }
    return NewHandle(L"mutex " + std::wstring(name));
}

BOOL WINAPI ReleaseMutex(HANDLE) {
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG, PLONG, DWORD) {
    return static_cast<DWORD>(g_fake->files[g_fake->handles.at(file)].size() * sizeof(wchar_t));
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED) {
    g_fake->files[g_fake->handles.at(file)].append(static_cast<const wchar_t*>(buffer),
                                                   bytes / sizeof(wchar_t));
    *written = bytes;
    return TRUE;
}

namespace {
// Formats as the runtime would and appends the text to the console.
int ToConsole(const wchar_t* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    std::wstring text(static_cast<size_t>(::_vscwprintf(format, measure)), L'\0');
    va_end(measure);
    ::vswprintf_s(text.data(), text.size() + 1, format, args);
    g_fake->console += text;
    return static_cast<int>(text.size());
}
} // namespace

int wprintf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = ToConsole(format, args);
    va_end(args);
    return written;
}

int fwprintf(FILE*, const wchar_t* format, ...) { // standard error too: no test tells them apart
    va_list args;
    va_start(args, format);
    const int written = ToConsole(format, args);
    va_end(args);
    return written;
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(which));
}

BOOL WINAPI GetConsoleMode(HANDLE, LPDWORD mode) {
    *mode = 0;
    return g_fake->consoleIsTerminal;
}

BOOL WINAPI WriteConsoleW(HANDLE, const void* text, DWORD length, LPDWORD written, LPVOID) {
    g_fake->console.append(static_cast<const wchar_t*>(text), length);
    *written = length;
    return TRUE;
}

int fflush(FILE*) {
    Log(L"fflush");
    return 0;
}

int _getch() {
    Log(L"_getch");
    return 'x';
}

__time64_t _time64(__time64_t* time) {
    Log(L"_time64");
    if (time) {
        *time = g_fake->now;
    }
    return g_fake->now;
}

errno_t _localtime64_s(struct tm* result, const __time64_t* time) {
    const DWORD code = g_fake->Next("_localtime64_s");
    return code != 0 ? static_cast<errno_t>(code) : ::_localtime64_s(result, time);
}

size_t wcsftime(wchar_t* buffer, size_t size, const wchar_t* format, const struct tm* time) {
    return g_fake->Next("wcsftime") != 0 ? 0 : ::wcsftime(buffer, size, format, time);
}

int _vscwprintf(const wchar_t* format, va_list args) {
    // Scripted 1 fails; any other code is the length to report.
    const DWORD code = g_fake->Next("_vscwprintf");
    if (code != 0) {
        return code == 1 ? -1 : static_cast<int>(code);
    }
    return ::_vscwprintf(format, args);
}

} // namespace fakes

namespace win {
decltype(&::RegOpenKeyExW) const RegOpenKeyExW = fakes::RegOpenKeyExW;
decltype(&::RegQueryInfoKeyW) const RegQueryInfoKeyW = fakes::RegQueryInfoKeyW;
decltype(&::RegEnumKeyExW) const RegEnumKeyExW = fakes::RegEnumKeyExW;
decltype(&::RegQueryValueExW) const RegQueryValueExW = fakes::RegQueryValueExW;
decltype(&::RegCloseKey) const RegCloseKey = fakes::RegCloseKey;
decltype(&::RegNotifyChangeKeyValue) const RegNotifyChangeKeyValue = fakes::RegNotifyChangeKeyValue;
decltype(&::RegGetKeySecurity) const RegGetKeySecurity = fakes::RegGetKeySecurity;
decltype(&::RegSetKeySecurity) const RegSetKeySecurity = fakes::RegSetKeySecurity;
decltype(&::NtQueryKey) const NtQueryKey = fakes::NtQueryKey;
decltype(&::RegCreateKeyExW) const RegCreateKeyExW = fakes::RegCreateKeyExW;
decltype(&::RegSetValueExW) const RegSetValueExW = fakes::RegSetValueExW;
decltype(&::NtDeleteKey) const NtDeleteKey = fakes::NtDeleteKey;
decltype(&::SetSecurityInfo) const SetSecurityInfo = fakes::SetSecurityInfo;
decltype(&::AllocateAndInitializeSid) const AllocateAndInitializeSid =
    fakes::AllocateAndInitializeSid;
decltype(&::FreeSid) const FreeSid = fakes::FreeSid;
decltype(&::SetEntriesInAclW) const SetEntriesInAclW = fakes::SetEntriesInAclW;
decltype(&::GetCurrentProcess) const GetCurrentProcess = fakes::GetCurrentProcess;
decltype(&::OpenProcessToken) const OpenProcessToken = fakes::OpenProcessToken;
decltype(&::LookupPrivilegeValueW) const LookupPrivilegeValueW = fakes::LookupPrivilegeValueW;
decltype(&::AdjustTokenPrivileges) const AdjustTokenPrivileges = fakes::AdjustTokenPrivileges;
decltype(&::GetTokenInformation) const GetTokenInformation = fakes::GetTokenInformation;
decltype(&::GetLastError) const GetLastError = fakes::GetLastError;
decltype(&::LocalFree) const LocalFree = fakes::LocalFree;
decltype(&::CloseHandle) const CloseHandle = fakes::CloseHandle;
decltype(&::CreateEventW) const CreateEventW = fakes::CreateEventW;
decltype(&::WaitForSingleObject) const WaitForSingleObject = fakes::WaitForSingleObject;
decltype(&::CreateMutexW) const CreateMutexW = fakes::CreateMutexW;
decltype(&::ReleaseMutex) const ReleaseMutex = fakes::ReleaseMutex;
decltype(&::GetModuleFileNameW) const GetModuleFileNameW = fakes::GetModuleFileNameW;
decltype(&::CreateFileW) const CreateFileW = fakes::CreateFileW;
decltype(&::SetFilePointer) const SetFilePointer = fakes::SetFilePointer;
decltype(&::WriteFile) const WriteFile = fakes::WriteFile;
decltype(&::ReadFile) const ReadFile = fakes::ReadFile;
decltype(&::FlushFileBuffers) const FlushFileBuffers = fakes::FlushFileBuffers;
decltype(&::GetFileInformationByHandleEx) const GetFileInformationByHandleEx =
    fakes::GetFileInformationByHandleEx;
decltype(&::CreateDirectoryW) const CreateDirectoryW = fakes::CreateDirectoryW;
decltype(&::GetStdHandle) const GetStdHandle = fakes::GetStdHandle;
decltype(&::GetConsoleMode) const GetConsoleMode = fakes::GetConsoleMode;
decltype(&::WriteConsoleW) const WriteConsoleW = fakes::WriteConsoleW;
decltype(&::wprintf) const wprintf = fakes::wprintf;
decltype(&::fflush) const fflush = fakes::fflush;
decltype(&::fwprintf) const fwprintf = fakes::fwprintf;
decltype(&::_getch) const _getch = fakes::_getch;
decltype(&::_time64) const _time64 = fakes::_time64;
decltype(&::_localtime64_s) const _localtime64_s = fakes::_localtime64_s;
decltype(&::wcsftime) const wcsftime = fakes::wcsftime;
decltype(&::_vscwprintf) const _vscwprintf = fakes::_vscwprintf;
} // namespace win
