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
    unsigned id = 0; // the object: a key deleted and made again is another one
    std::vector<std::wstring> children;
    LSTATUS openStatus = ERROR_SUCCESS;  // RegOpenKeyExW's answer for this key, unless no access
    REGSAM deniedAccess = 0;             // rights its DACL denies: an open asking any gets 5
    LSTATUS countStatus = ERROR_SUCCESS; // RegQueryInfoKeyW's answer
    std::set<DWORD> unreadableIndices;   // RegEnumKeyExW fails for these
    bool isLink = false;
    // The name a handle to it gives (NtQueryKey), where not the one its place gives: a key
    // reached behind a link.
    std::wstring fullName;
    LSTATUS linkQueryStatus = ERROR_SUCCESS;    // RegQueryValueExW's failure, if any
    bool nameUnreadable = false;                // NtQueryKey fails
    std::wstring writtenDacl;                   // the last DACL written to it, in SDDL
    std::wstring sddl = L"O:BAD:P(A;;KA;;;BA)"; // what GetSecurityInfo reads
    LSTATUS readStatus = ERROR_SUCCESS;         // GetSecurityInfo's answer
};

// Registry names compare as the registry compares them: case-insensitively.
struct RegistryNameLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                      static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
    }
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
    // The registry, by key path: the machine's classes (HKLM\SOFTWARE\Classes) by their path
    // below it (".qk4"); other keys of HKEY_LOCAL_MACHINE and HKEY_USERS under "HKLM\\" and
    // "HKU\\", the user's classes under "HKU\\<userSid>_Classes\\" (UserKey). HKEY_CLASSES_ROOT
    // merges them as Windows documents it: each open through it, or through a handle it gave,
    // reaches the user's key of the path where one exists and the machine's otherwise, decided
    // anew at each open (also of an empty name); enumeration lists both keys' subkeys; a handle
    // names the physical key it reached and answers ERROR_KEY_DELETED once that key is gone.
    std::map<std::wstring, FakeKey, RegistryNameLess> keys;
    std::wstring userSid = L"S-1-5-21-7"; // the token's user
    // Whether RegSetKeySecurity keeps what it writes as the key's `sddl` (the parts written in
    // place of the key's), as a registry does; otherwise it only records the DACL.
    bool keepsWrites = false;
    // Whether SetSecurityInfo passes inherited entries down as Windows documents it; otherwise it
    // keeps the DACL as given, protection included, and passes nothing down (as Wine does).
    bool propagates = true;
    // Whether an open with REG_OPTION_BACKUP_RESTORE under the backup privilege is granted what
    // the key's DACL denies, as on Windows (Wine drops the option).
    bool backupOpens = false;
    // Called with the key's path after every RegSetKeySecurity that reached a key, before it
    // answers.
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
    // Deletes a key (not its subkeys) and unlinks it from its parent.
    void DeleteKey(const std::wstring& path);
    // The path of the user's classes key of a path below HKEY_CLASSES_ROOT.
    std::wstring UserKey(const std::wstring& path) const;
    // Lines of the journal that start with the prefix.
    std::vector<std::wstring> Calls(const std::wstring& prefix) const;
    // The log lines written to the file, split at CR LF.
    std::vector<std::wstring> LogLines(const std::wstring& path) const;

    // Internal: takes the next scripted outcome of a call.
    DWORD Next(const char* call);
    DWORD lastError = 0;
    std::map<HANDLE, std::wstring> handles;
    struct KeyHandle {
        std::wstring path;    // the key reached, as `keys` names it
        bool merged = false;  // through HKEY_CLASSES_ROOT: its subkeys are merged too
        std::wstring logical; // then its path below HKEY_CLASSES_ROOT
        unsigned id = 0;
    };
    std::map<HANDLE, KeyHandle> keyHandles;
    unsigned nextKeyId = 0;
    uintptr_t nextHandle = 0x1000;
};

// The fake in force; each test makes one for its own lifetime.
extern FakeWindows* g_fake;

// The part of an SDDL text that the tag opens ("O:BA" for 'O'), empty where it has none; the
// entries of its DACL ("(A;CI;KR;;;BU)").
std::wstring SddlPart(const std::wstring& sddl, wchar_t tag);
std::vector<std::wstring> SddlEntries(const std::wstring& sddl);
// Gives the key at `path` these own entries (SDDL) and, unless protected, what its parent's DACL
// passes down, then passes its own down below it, as Windows' propagating security call does;
// where the fake does not propagate, just the entries.
void PropagateDacl(const std::wstring& path, const std::wstring& own, bool isProtected);
