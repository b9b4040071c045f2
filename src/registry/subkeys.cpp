// The names of a key's subkeys, as the walk reads them: whole while other programs change them.
#include "platform/unique.h"
#include "platform/win_api.h"
#include "registry/walk.h"

#include <algorithm>
#include <set>

namespace tkr {
namespace {

// The registry's longest key name (255 units) and its terminator; a longer one is read again
// with room for the longest name a registry can hold, so that it can be reported.
constexpr DWORD kKeyNameCapacity = 256;
constexpr DWORD kLongestName = 32768;
constexpr size_t kMaxOpenableName = 255;
// Reads of one key's subkey names before the walk goes on with what they saw together.
constexpr int kMaxNameReads = 16;

// Reads every subkey name once, by index, and appends them; counts those it cannot read.
// Returns why the list ended early, or ERROR_SUCCESS at its end.
LSTATUS ReadNamesOnce(HKEY key, std::vector<std::wstring>& names, unsigned& unreadable) {
    std::vector<wchar_t> name(kKeyNameCapacity);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        LSTATUS status = win::RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr,
                                            nullptr, nullptr);
        if (status == ERROR_MORE_DATA && name.size() < kLongestName) {
            name.resize(kLongestName);
            length = kLongestName;
            status = win::RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr,
                                        nullptr);
        }
        if (status == ERROR_MORE_DATA) {
            ++unreadable;
            continue;
        }
        if (status != ERROR_SUCCESS) {
            return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
        }
        names.emplace_back(name.data(), length);
    }
}

// Keeps the first of each name, in the order first seen.
void RemoveRepeats(std::vector<std::wstring>& names) {
    std::set<std::wstring> seen;
    std::erase_if(names, [&seen](const std::wstring& name) { return !seen.insert(name).second; });
}

} // namespace

bool IsOpenableName(const std::wstring& name) {
    return !name.empty() && name.size() <= kMaxOpenableName &&
           name.find(L'\0') == std::wstring::npos;
}

SubkeyList ReadSubkeyList(HKEY key) {
    SubkeyList list;
    DWORD count = 0;
    const LSTATUS counted =
        win::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
    if ((counted == ERROR_SUCCESS && count == 0) || counted == ERROR_KEY_DELETED) {
        return list; // no subkey now (one created meanwhile need not be visited), or no key
    }
    // A count that cannot be read (a handle without KEY_QUERY_VALUE) leaves the names to read.
    // Names read by index shift when a sibling is created or deleted during the read: a change
    // notification tells whether a read was disturbed, and then the names are read again.
    const UniqueHandle changed(win::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    int reads = 0;
    for (;;) {
        const bool watched =
            changed && win::RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME,
                                                    changed.get(), TRUE) == ERROR_SUCCESS;
        unsigned unreadable = 0;
        list.status = ReadNamesOnce(key, list.names, unreadable);
        list.unreadable = std::max(list.unreadable, unreadable);
        ++reads;
        if (!watched || reads == kMaxNameReads ||
            win::WaitForSingleObject(changed.get(), 0) != WAIT_OBJECT_0) {
            break;
        }
    }
    if (list.status == ERROR_KEY_DELETED) {
        list = {}; // its subkeys went with it
    }
    if (reads > 1) {
        RemoveRepeats(list.names);
    }
    return list;
}

std::vector<std::wstring> ReadSubkeyNames(HKEY key) {
    std::vector<std::wstring> names = ReadSubkeyList(key).names;
    std::erase_if(names, [](const std::wstring& name) { return !IsOpenableName(name); });
    return names;
}

} // namespace tkr
