#include "registry/walk.h"

#include "platform/unique.h"
#include "platform/win_api.h"

#include <cwchar>
#include <memory>
#include <set>

namespace tkr {
namespace {

// The registry's longest key name (255 units) and its terminator.
constexpr DWORD kKeyNameCapacity = 256;
// Reads of one key's subkey names before the walk goes on with what they saw together.
constexpr int kMaxNameReads = 16;

// A key whose subkeys are being walked: its handle, the parent of each, and the names read when
// it was reached.
struct Level {
    UniqueKey key;
    std::vector<std::wstring> names;
    size_t next;
    size_t pathLength;
    std::wstring fullName; // as its handle names it: what its subkeys' names must begin with
    // Its DACL as the action left it, for what its subkeys inherit; none if it could not be read.
    std::shared_ptr<const std::vector<BYTE>> security;
};

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

// The DACL of the key the handle holds, in a self-relative descriptor; none if it cannot be read
// (`status` says why).
[[nodiscard]] std::shared_ptr<const std::vector<BYTE>> ReadDacl(HKEY key, LSTATUS& status) {
    auto dacl = std::make_shared<std::vector<BYTE>>();
    status = ReadKeySecurity(key, DACL_SECURITY_INFORMATION, *dacl);
    return status == ERROR_SUCCESS ? dacl : nullptr;
}

// Keeps the first of each name, in the order first seen.
void RemoveRepeats(std::vector<std::wstring>& names) {
    std::set<std::wstring> seen;
    std::erase_if(names, [&seen](const std::wstring& name) { return !seen.insert(name).second; });
}

// The DACL of the key a merged view showed below a parent of the other hive: its physical
// parent's, reached from the registry's root as every key is. Why it cannot be had, otherwise.
void InheritFromPhysicalParent(TreeKey& key) {
    UniqueKey parent;
    LSTATUS status = OpenByFullName(key.PhysicalParent(), READ_CONTROL, parent);
    auto dacl = status == ERROR_SUCCESS ? ReadDacl(parent.get(), status) : nullptr;
    key.InheritFrom(std::move(dacl), status);
}

// Announces the key and hands it to the action unless it is too long or a link. Returns a
// handle to enter it by (and its full name), or none.
UniqueKey VisitKey(HKEY parent, const std::wstring& parentName,
                   std::shared_ptr<const std::vector<BYTE>> parentSecurity,
                   const std::wstring& name, const std::wstring& path, KeyAction& action,
                   Tally& tally, std::wstring& fullName) {
    action.Announce(path);
    // Kept as the limit of a path the registry can name, so that runs read alike everywhere.
    if (path.size() > kMaxKeyPathLength) {
        action.Skipped(Skip::PathTooLong);
        tally.Add(Outcome::Failed);
        return {};
    }
    TreeKey key(parent, parentName, name, path, std::move(parentSecurity));
    if (key.Pin(action.PinAccess()) == kRegistryLink) {
        action.Skipped(Skip::Link);
        tally.Add(Outcome::Link);
        return {};
    }
    if (!key.PhysicalParent().empty() && action.UsesParentSecurity()) {
        InheritFromPhysicalParent(key);
    }
    tally.Add(action.Act(key));
    // Opened afresh: whether the key is entered is up to its DACL as the action left it.
    UniqueKey entered;
    if (key.Open(KEY_READ, entered) != ERROR_SUCCESS) {
        return {};
    }
    fullName = key.FullName();
    return entered;
}

} // namespace

const std::array<const wchar_t*, 15> DocumentTypeKeys = {
    L".qk4", L".zor", L".wun", L".bym", L".kaf", L".27u", L".gli", L".tov",
    L".rux", L".mik", L".nol", L".ooq", L".lud", L".cwa", L".hib",
};

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

void WalkKeyTree(const wchar_t* root, KeyAction& action, Tally& tally) {
    // An explicit stack instead of recursion: a tree may be nested far deeper than a thread's
    // stack could follow. One path buffer serves every level; each level holds the handle its
    // subkeys are opened through.
    std::vector<Level> stack;
    std::wstring path = root;
    std::wstring fullName;
    auto enter = [&](UniqueKey key) {
        if (key) {
            std::vector<std::wstring> names = ReadSubkeyNames(key.get());
            if (!names.empty()) {
                LSTATUS unread = ERROR_SUCCESS;
                auto dacl = action.UsesParentSecurity() ? ReadDacl(key.get(), unread) : nullptr;
                stack.push_back(Level{std::move(key), std::move(names), 0, path.size(),
                                      std::move(fullName), std::move(dacl)});
            }
        }
    };
    // A table key's parent, HKEY_CLASSES_ROOT, is not changed by the run.
    enter(VisitKey(HKEY_CLASSES_ROOT, {}, nullptr, path, path, action, tally, fullName));
    while (!stack.empty()) {
        Level& parent = stack.back();
        if (parent.next >= parent.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::wstring& name = parent.names[parent.next++];
        path.resize(parent.pathLength);
        path.append(1, L'\\').append(name);
        enter(VisitKey(parent.key.get(), parent.fullName, parent.security, name, path, action,
                       tally, fullName));
    }
}

void WalkKeyTrees(KeyAction& action, Tally& tally) {
    for (const wchar_t* root : DocumentTypeKeys) {
        WalkKeyTree(root, action, tally);
    }
}

} // namespace tkr
