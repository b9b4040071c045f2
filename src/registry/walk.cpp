#include "registry/walk.h"

#include "platform/unique.h"
#include "platform/win_api.h"

#include <algorithm>
#include <memory>
#include <optional>
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

// A key the walk has reached, pinned and prepared ahead of its turn with the rest of its group;
// or why it is passed by.
struct Reached {
    std::wstring path;
    std::optional<Skip> skip;
    Outcome skipped = Outcome::Failed; // how a key passed by counts
    std::unique_ptr<TreeKey> key;
};

// A key whose subkeys are being walked: its handle, the parent of each, and the names read when
// it was reached, with the group of those reached next.
struct Level {
    Level(UniqueKey handle, std::vector<std::wstring> subkeys, size_t length, std::wstring name,
          std::shared_ptr<const std::vector<BYTE>> dacl)
        : key(std::move(handle)), names(std::move(subkeys)), pathLength(length),
          fullName(std::move(name)), security(std::move(dacl)) {}
    UniqueKey key;
    std::vector<std::wstring> names;
    size_t next = 0; // the first name not yet reached
    size_t pathLength = 0;
    std::wstring fullName; // as its handle names it: what its subkeys' names must begin with
    // Its DACL as the action left it, for what its subkeys inherit; none if it could not be read.
    std::shared_ptr<const std::vector<BYTE>> security;
    std::vector<Reached> group; // reached ahead of their turn; those before `taken` visited
    size_t taken = 0;
};

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

// The DACL of the key a key inherits from where that is not its walk parent (a table key's
// classes root, or the key of its own root a merged view hid): reached from the registry's root
// as every key is. Why it cannot be had, otherwise.
void InheritFromPhysicalParent(TreeKey& key) {
    UniqueKey parent;
    LSTATUS status = OpenByFullName(key.PhysicalParent(), READ_CONTROL, parent);
    auto dacl = status == ERROR_SUCCESS ? ReadDacl(parent.get(), status) : nullptr;
    key.InheritFrom(std::move(dacl), status);
}

// Pins a key the walk reaches unless it is unopenable by name, too long or a link, and has the
// action prepare it. Nothing is reported yet: that waits for the key's turn.
Reached ReachKey(HKEY parent, const std::wstring& parentName,
                 std::shared_ptr<const std::vector<BYTE>> parentSecurity, const std::wstring& name,
                 std::wstring path, const ClassesRoots& roots, KeyAction& action) {
    Reached reached;
    reached.path = std::move(path);
    if (!IsOpenableName(name)) {
        reached.skip = Skip::Name;
        return reached;
    }
    // Kept as the limit of a path the registry can name, so that runs read alike everywhere.
    if (reached.path.size() > kMaxKeyPathLength) {
        reached.skip = Skip::PathTooLong;
        return reached;
    }
    auto key = std::make_unique<TreeKey>(parent, parentName, name, reached.path,
                                         std::move(parentSecurity), &roots);
    if (key->Pin(action.PinAccess()) == kRegistryLink) {
        reached.skip = Skip::Link;
        reached.skipped = Outcome::Link;
        return reached;
    }
    if (!key->PhysicalParent().empty() && action.UsesParentSecurity()) {
        InheritFromPhysicalParent(*key);
    }
    action.Prepare(*key);
    reached.key = std::move(key);
    return reached;
}

// A reached key's turn: announced, and handed to the action or reported passed by. Returns a
// handle to enter it by (and its full name), or none.
UniqueKey VisitKey(Reached& reached, KeyAction& action, Tally& tally, std::wstring& fullName) {
    action.Announce(reached.path);
    if (reached.skip) {
        action.Skipped(*reached.skip);
        tally.Add(reached.skipped);
        return {};
    }
    const TreeKey& key = *reached.key;
    tally.Add(action.Act(key));
    // Opened afresh: whether the key is entered is up to its DACL as the action left it.
    UniqueKey entered;
    const LSTATUS status = key.Open(KEY_READ, entered);
    if (status != ERROR_SUCCESS) {
        if (status != ERROR_FILE_NOT_FOUND) {
            action.Skipped(Skip::Subkeys, static_cast<DWORD>(status));
            tally.Add(Outcome::Failed);
        }
        return {};
    }
    fullName = key.FullName();
    return entered;
}

void Walk(const wchar_t* root, const ClassesRoots& roots, KeyAction& action, Tally& tally) {
    // An explicit stack instead of recursion: a tree may be nested far deeper than a thread's
    // stack could follow. Each level holds the handle its subkeys are opened through, and the
    // group of them pinned and prepared ahead. One path buffer serves every level: it begins
    // with the path of each level on the stack.
    std::vector<Level> stack;
    std::wstring path = root;
    std::wstring fullName;
    auto enter = [&](UniqueKey key) {
        if (!key) {
            return;
        }
        SubkeyList list = ReadSubkeyList(key.get());
        if (list.status != ERROR_SUCCESS) {
            action.Skipped(Skip::Subkeys, static_cast<DWORD>(list.status));
            tally.Add(Outcome::Failed);
        }
        if (list.unreadable != 0) {
            action.Skipped(Skip::SubkeyNames, list.unreadable);
            tally.Add(Outcome::Failed, list.unreadable);
        }
        if (!list.names.empty()) {
            LSTATUS unread = ERROR_SUCCESS;
            auto dacl = action.UsesParentSecurity() ? ReadDacl(key.get(), unread) : nullptr;
            stack.emplace_back(std::move(key), std::move(list.names), path.size(),
                               std::move(fullName), std::move(dacl));
        }
    };
    // A table key is a group of its own; its parent, HKEY_CLASSES_ROOT, is not changed by the run.
    {
        Reached table = ReachKey(HKEY_CLASSES_ROOT, {}, nullptr, path, path, roots, action);
        action.Commit();
        enter(VisitKey(table, action, tally, fullName));
    } // its pin released: the level entered holds a handle of its own
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.taken == level.group.size()) {
            if (level.next == level.names.size()) {
                stack.pop_back();
                continue;
            }
            // The next group: each key pinned and prepared, then all made durable at once,
            // before the first of them changes.
            level.group.clear();
            level.taken = 0;
            for (const size_t end = std::min(level.names.size(), level.next + kGroupSize);
                 level.next < end; ++level.next) {
                const std::wstring& name = level.names[level.next];
                path.resize(level.pathLength);
                path.append(1, L'\\').append(name);
                level.group.push_back(ReachKey(level.key.get(), level.fullName, level.security,
                                               name, path, roots, action));
            }
            action.Commit();
        }
        Reached reached = std::move(level.group[level.taken++]);
        path = reached.path;
        enter(VisitKey(reached, action, tally, fullName));
    }
}

} // namespace

const std::array<const wchar_t*, 15> DocumentTypeKeys = {
    L".qk4", L".zor", L".wun", L".bym", L".kaf", L".27u", L".gli", L".tov",
    L".rux", L".mik", L".nol", L".ooq", L".lud", L".cwa", L".hib",
};

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

void WalkKeyTree(const wchar_t* root, KeyAction& action, Tally& tally) {
    Walk(root, ReadClassesRoots(), action, tally);
}

void WalkKeyTrees(KeyAction& action, Tally& tally) {
    const ClassesRoots roots = ReadClassesRoots();
    for (const wchar_t* root : DocumentTypeKeys) {
        Walk(root, roots, action, tally);
    }
}

} // namespace tkr
