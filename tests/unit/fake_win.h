// A scripted stand-in for Windows behind the seam: it keeps a journal of the calls that matter,
// returns what a test programs, and holds a small registry tree and in-memory files.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

struct FakeKey {
    std::vector<std::wstring> children;
    LSTATUS openStatus = ERROR_SUCCESS;  // RegOpenKeyExW's answer for this key, unless no access
    LSTATUS countStatus = ERROR_SUCCESS; // RegQueryInfoKeyW's answer
    std::set<DWORD> unreadableIndices;   // RegEnumKeyExW fails for these
    bool isLink = false;
    // The name a handle to it gives (NtQueryKey), where not the machine's classes root and its
    // path: a key reached behind a link, or in the user's classes.
    std::wstring fullName;
    LSTATUS linkQueryStatus = ERROR_SUCCESS;    // RegQueryValueExW's failure, if any
    bool nameUnreadable = false;                // NtQueryKey fails
    std::wstring writtenDacl;                   // the last DACL written to it, in SDDL
    std::wstring sddl = L"O:BAD:P(A;;KA;;;BA)"; // what GetSecurityInfo reads
    LSTATUS readStatus = ERROR_SUCCESS;         // GetSecurityInfo's answer
};

struct FakeWindows {
    FakeWindows();
    ~FakeWindows();

    // Calls in order, each a line such as "FreeSid Administrators".
    std::vector<std::wstring> journal;
    // Scripted outcomes per call name, used up one per call; an empty queue means success.
    // For calls returning BOOL the code becomes GetLastError's; AdjustTokenPrivileges with 1300
    // succeeds and leaves 1300 behind, as Windows does; for _vscwprintf, 1 fails and any other
    // code is the length it reports.
    std::map<std::string, std::deque<DWORD>> outcomes;
    // The registry below HKEY_CLASSES_ROOT, by key path; keys below HKEY_LOCAL_MACHINE,
    // HKEY_CURRENT_USER and HKEY_USERS under "HKLM\\", "HKCU\\" and "HKU\\".
    std::map<std::wstring, FakeKey> keys;
    // Called with the key's path on every RegSetKeySecurity, before it answers.
    std::function<void(const std::wstring&)> onSetSecurity;
    // Called on every WaitForSingleObject, before it answers.
    std::function<void()> onWait;

    std::wstring console;
    bool consoleIsTerminal = false;
    std::map<std::wstring, std::wstring> files; // contents by path, as UTF-16 text
    std::map<std::wstring, size_t> flushed;     // how much of each is on the disk
    std::vector<EXPLICIT_ACCESS_W> aclEntries;  // what SetEntriesInAclW was given
    __time64_t now = 0;

    int openKeys = 0;
    int peakOpenKeys = 0;
    int heldSecurity = 0;                         // SIDs, ACLs and tokens not yet released
    std::set<DWORD> privilegesOn;                 // by the LUID the look-up gave
    std::vector<std::wstring> opens;              // every key opened, with how: see RegOpenKeyExW
    bool runLockHeld = false;                     // another run holds the lock of changing runs
    std::map<std::wstring, std::wstring> folders; // created, with their DACL in SDDL

    // Adds a key and links it into its parent's list of children.
    void AddKey(const std::wstring& path, const FakeKey& key = {});
    // Lines of the journal that start with the prefix.
    std::vector<std::wstring> Calls(const std::wstring& prefix) const;
    // The log lines written to the file, split at CR LF.
    std::vector<std::wstring> LogLines(const std::wstring& path) const;

    // Internal: takes the next scripted outcome of a call.
    DWORD Next(const char* call);
    DWORD lastError = 0;
    std::map<HANDLE, std::wstring> handles;
    uintptr_t nextHandle = 0x1000;
};

// The fake in force; each test makes one for its own lifetime.
extern FakeWindows* g_fake;
