#include "driver/walk.h"

#include "platform/unique.h"
#include "platform/win_api.h"
#include "report/report.h"
#include "security/key_security.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <numeric>

namespace tkr {
namespace {

// The registry's longest key name (255 units) and its terminator.
constexpr DWORD kKeyNameCapacity = 256;
// Reads of one key's subkey names before the walk goes on with what they saw together.
constexpr int kMaxNameReads = 16;
constexpr int kKeyNameInformation = 3;

// A key whose subkeys are being walked, with the names read when it was reached.
struct Level {
    std::vector<std::wstring> names;
    size_t next;
    size_t pathLength;
};

// The full name (as the native call gives it) of the key the handle refers to; empty if it
// cannot be had.
std::wstring FullKeyName(HKEY key) {
    std::vector<BYTE> buffer(1024);
    for (;;) {
        ULONG needed = 0;
        const LONG status = win::NtQueryKey(key, kKeyNameInformation, buffer.data(),
                                            static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0) {
            break;
        }
        if (needed <= buffer.size()) {
            return L"";
        }
        buffer.resize(needed);
    }
    ULONG bytes = 0;
    std::memcpy(&bytes, buffer.data(), sizeof bytes);
    bytes = std::min<ULONG>(bytes, static_cast<ULONG>(buffer.size() - sizeof bytes));
    return std::wstring(reinterpret_cast<const wchar_t*>(buffer.data() + sizeof bytes),
                        bytes / sizeof(wchar_t));
}

// For a key whose DACL denies the plain check: opening with no access at all is allowed whatever
// the DACL, and the name behind a handle tells whether the open followed a link.
bool ResolvesToItself(const std::wstring& keyPath) {
    UniqueKey itself;
    UniqueKey followed;
    if (win::RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), REG_OPTION_OPEN_LINK, 0,
                           itself.put()) != ERROR_SUCCESS ||
        win::RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, 0, followed.put()) !=
            ERROR_SUCCESS) {
        return false;
    }
    const std::wstring name = FullKeyName(itself.get());
    return !name.empty() && name == FullKeyName(followed.get());
}

// Reads every subkey name once, by index, and appends the valid ones.
void ReadNamesOnce(HKEY key, std::vector<std::wstring>& names) {
    wchar_t name[kKeyNameCapacity];
    for (DWORD index = 0;; ++index) {
        DWORD length = kKeyNameCapacity;
        const LSTATUS status =
            win::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) {
            continue; // a name longer than the registry allows: skipped
        }
        if (status != ERROR_SUCCESS) {
            return; // no more names, or the key is gone
        }
        // A name that is empty or holds a null cannot be written as a path component: it
        // would name the parent or a sibling instead.
        if (length != 0 && wcsnlen(name, length) == length) {
            names.emplace_back(name, length);
        }
    }
}

// Keeps the first of each name, in the order first seen.
void RemoveRepeats(std::vector<std::wstring>& names) {
    std::vector<size_t> order(names.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return names[a] < names[b]; });
    std::vector<bool> repeated(names.size(), false);
    for (size_t i = 1; i < order.size(); ++i) {
        repeated[order[i]] = names[order[i]] == names[order[i - 1]];
    }
    size_t kept = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!repeated[i]) {
            if (kept != i) {
                names[kept] = std::move(names[i]);
            }
            ++kept;
        }
    }
    names.resize(kept);
}

// Announces the key and hands it to the action unless it is too long or a link; returns whether
// the walk may enter it.
bool VisitKey(const std::wstring& path, KeyAction& action, Tally& tally) {
    ShowReport(ReportLevel::Message, L"%ls \"%ls\" ...", action.Verb(), DisplayName(path).c_str());
    // A longer name would be cut short by the registry and address another key.
    if (path.size() > kMaxKeyPathLength) {
        ShowReport(ReportLevel::Warning, kPathTooLong);
        tally.Add(Outcome::Failed);
        return false;
    }
    // Security calls and opens follow links; an elevated tool must not be led out of its trees.
    if (IsRegistryLink(path)) {
        ShowReport(ReportLevel::Warning, kLinkSkipped);
        tally.Add(Outcome::Link);
        return false;
    }
    tally.Add(action.Act(path, FormatText(L"CLASSES_ROOT\\%ls", path.c_str())));
    return true;
}

// The names below the key, or none if it cannot be opened for reading.
std::vector<std::wstring> SubkeysOf(const std::wstring& path) {
    UniqueKey key;
    if (win::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        return {};
    }
    return ReadSubkeyNames(key.get());
}

} // namespace

bool IsRegistryLink(const std::wstring& keyPath) {
    UniqueKey key;
    const LSTATUS status = win::RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(),
                                              REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND) {
        return false; // nothing there: the action reports the missing key
    }
    if (status != ERROR_SUCCESS) {
        return !ResolvesToItself(keyPath); // better skip a key than write outside the trees
    }
    DWORD type = REG_NONE;
    const LSTATUS query =
        win::RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    return (query == ERROR_SUCCESS || query == ERROR_MORE_DATA) && type == REG_LINK;
}

std::vector<std::wstring> ReadSubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    DWORD count = 0;
    if (win::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        count == 0) {
        return names; // no subkey now; one created meanwhile need not be visited
    }
    // Names read by index shift when a sibling is created or deleted during the read: a change
    // notification tells whether a read was disturbed, and then the names are read again.
    const UniqueHandle changed(win::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    int reads = 0;
    for (;;) {
        const bool watched =
            changed && win::RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME,
                                                    changed.get(), TRUE) == ERROR_SUCCESS;
        ReadNamesOnce(key, names);
        ++reads;
        if (!watched || reads == kMaxNameReads ||
            win::WaitForSingleObject(changed.get(), 0) != WAIT_OBJECT_0) {
            break;
        }
    }
    if (reads > 1) {
        RemoveRepeats(names);
    }
    return names;
}

void WalkKeyTree(const std::wstring& root, KeyAction& action, Tally& tally) {
    // An explicit stack instead of recursion: a tree may be nested far deeper than a thread's
    // stack could follow. One path buffer serves every level.
    std::vector<Level> stack;
    std::wstring path = root;
    if (VisitKey(path, action, tally)) {
        stack.push_back(Level{SubkeysOf(path), 0, path.size()});
    }
    while (!stack.empty()) {
        Level& parent = stack.back();
        if (parent.next >= parent.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::wstring& name = parent.names[parent.next++];
        path.resize(parent.pathLength);
        path.append(1, L'\\').append(name);
        if (VisitKey(path, action, tally)) {
            std::vector<std::wstring> names = SubkeysOf(path);
            if (!names.empty()) {
                stack.push_back(Level{std::move(names), 0, path.size()});
            }
        }
    }
}

} // namespace tkr
