#include "registry/walk.h"

#include "platform/unique.h"

#include <algorithm>
#include <memory>
#include <optional>

namespace tkr {
namespace {

struct Level;

// A key the walk has reached, pinned and prepared ahead of its turn with the rest of its group;
// or why it is passed by.
struct Reached {
    std::wstring path;
    std::optional<Skip> skip;
    Outcome skipped = Outcome::Failed; // how a key passed by counts
    std::unique_ptr<TreeKey> key;
    // The key entered ahead of its turn, with the keys below it reached in the same group.
    std::unique_ptr<Level> below;
};

// A key whose subkeys are being walked: its handle, the parent of each, and the names read when
// it was entered, with the group of those reached next.
struct Level {
    UniqueKey key;
    std::vector<std::wstring> names;
    size_t next = 0; // the first name not yet reached
    size_t pathLength = 0;
    std::wstring fullName; // as its handle names it: what its subkeys' names must begin with
    // Its DACL as the action left it, for what its subkeys inherit; none if it could not be read.
    std::shared_ptr<const std::vector<BYTE>> security;
    LSTATUS listStatus = ERROR_SUCCESS; // why its list could not be read, told at its turn
    unsigned unreadable = 0;            // names that could not be read, told at its turn
    std::vector<Reached> group;         // reached ahead of their turn; those before `taken` visited
    size_t taken = 0;
};

// The DACL of the key the handle holds, in a self-relative descriptor; none if it cannot be read
// (`status` says why).
[[nodiscard]] std::shared_ptr<const std::vector<BYTE>> ReadDacl(HKEY key, LSTATUS& status) {
    auto dacl = std::make_shared<std::vector<BYTE>>();
    status = ReadKeySecurity(key, DACL_SECURITY_INFORMATION, *dacl);
    return status == ERROR_SUCCESS ? dacl : nullptr;
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

// The keys of a run's trees in the order they are visited (depth-first, pre-order), reached in
// groups: each key of a group pinned and prepared, the group made durable at once, and only then
// its keys visited. A group is the next keys in that order, up to kGroupSize: a key's subkeys
// join its group where the key can be entered before it changes and the action keeps it so;
// otherwise they are reached once it has been visited, in groups of their own.
class Walker {
  public:
    Walker(const ClassesRoots& roots, KeyAction& action, Tally& tally)
        : roots_(roots), action_(action), tally_(tally) {}

    void Walk(const wchar_t* root) {
        // An explicit stack instead of recursion: a tree may be nested far deeper than a
        // thread's stack could follow. Each level holds the handle its subkeys are opened
        // through, and those of its group not yet visited. One path buffer serves every level:
        // it begins with the path of each level on the stack.
        path_ = root;
        {
            // The table key's parent, HKEY_CLASSES_ROOT, is not changed by the run.
            Reached table = Reach(HKEY_CLASSES_ROOT, {}, nullptr, path_, path_);
            size_t room = kGroupSize - 1;
            EnterAhead(table, room);
            action_.Commit();
            Visit(table);
        } // its pin released: the level entered holds a handle of its own
        while (!stack_.empty()) {
            Level& level = *stack_.back();
            if (level.taken == level.group.size()) {
                if (level.next == level.names.size()) {
                    stack_.pop_back();
                    continue;
                }
                ReachNextGroup();
            }
            Reached reached = std::move(level.group[level.taken++]);
            Visit(reached);
        }
    }

  private:
    // Pins a key the walk reaches unless it is unopenable by name, too long or a link, and has
    // the action prepare it. Nothing is reported yet: that waits for the key's turn.
    Reached Reach(HKEY parent, const std::wstring& parentName,
                  std::shared_ptr<const std::vector<BYTE>> parentSecurity, const std::wstring& name,
                  std::wstring path) {
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
                                             std::move(parentSecurity), &roots_);
        if (key->Pin(action_.PinAccess()) == kRegistryLink) {
            reached.skip = Skip::Link;
            reached.skipped = Outcome::Link;
            return reached;
        }
        if (!key->PhysicalParent().empty() && action_.UsesParentSecurity()) {
            InheritFromPhysicalParent(*key);
        }
        action_.Prepare(*key);
        reached.key = std::move(key);
        return reached;
    }

    // The next group: the keys the walk visits next, from the top of the stack down to where a
    // level's next keys are reached already; then made durable at once, before any changes.
    void ReachNextGroup() {
        size_t room = kGroupSize;
        for (size_t depth = stack_.size(); depth-- != 0 && room != 0;) {
            Level& level = *stack_[depth];
            if (level.taken != level.group.size()) {
                break;
            }
            level.group.clear();
            level.taken = 0;
            ReachGroup(level, path_.substr(0, level.pathLength), room);
            if (level.next != level.names.size()) {
                break;
            }
        }
        action_.Commit();
    }

    // Reaches the level's next subkeys into its group while the group has room, each followed
    // by the keys below it that can join it.
    void ReachGroup(Level& level, const std::wstring& levelPath, size_t& room) {
        level.group.reserve(std::min(room, level.names.size() - level.next));
        for (; room != 0 && level.next < level.names.size(); ++level.next) {
            const std::wstring& name = level.names[level.next];
            --room;
            level.group.push_back(Reach(level.key.get(), level.fullName, level.security, name,
                                        levelPath + L"\\" + name));
            EnterAhead(level.group.back(), room);
        }
    }

    // Enters a reached key before its turn where the group has room for its subkeys and the
    // action leaves a key it could enter as open to that as before; its list is read now, what
    // the list says is told at its turn.
    void EnterAhead(Reached& reached, size_t& room) {
        UniqueKey entered;
        if (room == 0 || !reached.key || !action_.EntersAhead() ||
            reached.key->Open(KEY_READ, entered) != ERROR_SUCCESS) {
            return;
        }
        reached.below = Enter(std::move(entered), *reached.key, reached.path.size());
        ReachGroup(*reached.below, reached.path, room);
    }

    // A level for a key entered: its handle and its list of subkeys.
    static std::unique_ptr<Level> Enter(UniqueKey key, const TreeKey& of, size_t pathLength) {
        auto level = std::make_unique<Level>();
        SubkeyList list = ReadSubkeyList(key.get());
        level->key = std::move(key);
        level->names = std::move(list.names);
        level->listStatus = list.status;
        level->unreadable = list.unreadable;
        level->pathLength = pathLength;
        level->fullName = of.FullName();
        return level;
    }

    // A reached key's turn: announced, and handed to the action or reported passed by; then
    // entered unless it was passed by or is gone.
    void Visit(Reached& reached) {
        path_ = std::move(reached.path);
        action_.Announce(path_);
        if (reached.skip) {
            action_.Skipped(*reached.skip);
            tally_.Add(reached.skipped);
            return;
        }
        const TreeKey& key = *reached.key;
        const Outcome outcome = action_.Act(key);
        tally_.Add(outcome);
        std::unique_ptr<Level> level = std::move(reached.below);
        if (level && outcome == Outcome::NotPresent &&
            !SameRegistryName(FullKeyName(level->key.get()), key.FullName())) {
            return; // gone, and the keys below it with it
        }
        if (!level) {
            // Opened afresh: whether the key is entered is up to its DACL as the action left it.
            UniqueKey entered;
            const LSTATUS status = key.Open(KEY_READ, entered);
            if (status != ERROR_SUCCESS) {
                if (status != ERROR_FILE_NOT_FOUND) {
                    action_.Skipped(Skip::Subkeys, static_cast<DWORD>(status));
                    tally_.Add(Outcome::Failed);
                }
                return;
            }
            level = Enter(std::move(entered), key, path_.size());
        }
        if (level->listStatus != ERROR_SUCCESS) {
            action_.Skipped(Skip::Subkeys, static_cast<DWORD>(level->listStatus));
            tally_.Add(Outcome::Failed);
        }
        if (level->unreadable != 0) {
            action_.Skipped(Skip::SubkeyNames, level->unreadable);
            tally_.Add(Outcome::Failed, level->unreadable);
        }
        if (level->names.empty()) {
            return;
        }
        if (action_.UsesParentSecurity()) {
            LSTATUS unread = ERROR_SUCCESS;
            level->security = ReadDacl(level->key.get(), unread);
            // The subkeys reached ahead inherit from it as the action has just left it.
            for (Reached& below : level->group) {
                if (below.key && below.key->PhysicalParent().empty()) {
                    below.key->InheritFrom(level->security, ERROR_SUCCESS);
                }
            }
        }
        stack_.push_back(std::move(level));
    }

    const ClassesRoots& roots_;
    KeyAction& action_;
    Tally& tally_;
    std::vector<std::unique_ptr<Level>> stack_;
    std::wstring path_;
};

} // namespace

const std::array<const wchar_t*, 15> DocumentTypeKeys = {
    L".qk4", L".zor", L".wun", L".bym", L".kaf", L".27u", L".gli", L".tov",
    L".rux", L".mik", L".nol", L".ooq", L".lud", L".cwa", L".hib",
};

void WalkKeyTree(const wchar_t* root, KeyAction& action, Tally& tally) {
    const ClassesRoots roots = ReadClassesRoots();
    Walker(roots, action, tally).Walk(root);
}

void WalkKeyTrees(KeyAction& action, Tally& tally) {
    const ClassesRoots roots = ReadClassesRoots();
    Walker walker(roots, action, tally);
    for (const wchar_t* root : DocumentTypeKeys) {
        walker.Walk(root);
    }
}

} // namespace tkr
