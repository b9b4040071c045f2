#include "selftest/seeds.h"

#include "registry/tree_key.h"
#include "selftest/registry_state.h"

namespace tkr::selftest {
namespace {

// Owned by another account (LocalService), which alone may change it; administrators may read.
constexpr wchar_t kForeignSddl[] = L"O:LSD:P(A;;KA;;;LS)(A;;KR;;;BA)";
// Owned by SYSTEM, which alone has access.
constexpr wchar_t kLockedSddl[] = L"O:SYD:P(A;;KA;;;SY)";
constexpr wchar_t kDenyWriteDacSddl[] = L"O:SYD:(D;;WD;;;BA)(A;;KA;;;BA)(A;;KA;;;SY)";
constexpr wchar_t kDenyReadControlSddl[] = L"O:SYD:(D;;RC;;;BA)(A;;KA;;;BA)(A;;KA;;;SY)";
constexpr wchar_t kNormalSddl[] = L"O:BAD:P(A;;KA;;;BA)(A;;KA;;;SY)";
// A sentinel's own, so that any write to it shows.
constexpr wchar_t kSentinelSddl[] = L"O:BAD:P(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;BU)";
// The machine's merged table key, where the self-test creates it: entries for other accounts
// than the repair's, so that one inherited from the user's key shows, and of every kind, which
// its child inherits from it as from its physical parent.
constexpr wchar_t kMachineMergedSddl[] =
    L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(D;CI;WD;;;AN)(A;OI;KR;;;LS)(A;CINP;KW;;;NS)"
    L"(A;CIIO;GA;;;CO)(A;CIIO;GR;;;CG)";

} // namespace

Seeds::Seeds(const ProcessToken& token) : token_(token) {
    // The classes as the registry keeps them (not a 32-bit program's view of the machine's
    // software); the keys below them are opened as themselves.
    constexpr REGSAM kAccess =
        KEY_WOW64_64KEY | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_CREATE_SUB_KEY;
    // A new profile may have no classes of its own yet: made here, or by an earlier self-test
    // that was interrupted (its mark says so), they are removed at the end.
    DWORD disposition = 0;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                          kAccess | KEY_SET_VALUE, nullptr, userClasses_.put(),
                          &disposition) == ERROR_SUCCESS &&
        (disposition == REG_CREATED_NEW_KEY
             ? ::RegSetValueExW(userClasses_.get(), kCreatedMark, 0, REG_SZ, nullptr, 0) ==
                   ERROR_SUCCESS
             : ::RegQueryValueExW(userClasses_.get(), kCreatedMark, nullptr, nullptr, nullptr,
                                  nullptr) == ERROR_SUCCESS)) {
        planted_.push_back({HKEY_CURRENT_USER, L"Software\\Classes"});
    }
    (void)::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes", 0, kAccess,
                          machineClasses_.put());
}

std::vector<std::wstring> Seeds::Plan() {
    const std::wstring scratch = std::wstring(L"HKEY_CLASSES_ROOT\\") + kScratch;
    return {
        L"It creates, and removes at its end:",
        L"  HKEY_CLASSES_ROOT\\" + std::wstring(kScratchTable) + L", where it is missing",
        L"  " + scratch + L" and " + std::to_wstring(kChainDepth + kSiblingCount + 13) +
            L" keys below it: keys that lock administrators out, registry links, an inheritance "
            L"family, a chain " +
            std::to_wstring(kChainDepth) + L" keys deep, " + std::to_wstring(kSiblingCount) +
            L" sibling keys",
        L"  HKEY_CLASSES_ROOT\\" + std::wstring(kSentinel) + L" and HKEY_CLASSES_ROOT\\" + kTwin +
            L", with their subkeys (outside the trees)",
        L"  " + Join(Join(kUserClasses, kMergedTable), kUserChild) + L" and " +
            Join(Join(kMachineClasses, kMergedTable), kMachineChild) +
            L", with the table key above each where it is missing",
        L"It changes, and gives back with the tool's -undo: the owner and DACL of every key of the "
        L"fifteen trees (.qk4, .zor, .wun, .bym, .kaf, .27u, .gli, .tov, .rux, .mik, .nol, .ooq, "
        L".lud, .cwa, .hib).",
    };
}

bool Seeds::Created(HKEY root, const std::wstring& path) const {
    for (const Planted& planted : planted_) {
        if (planted.root == root && planted.path == path) {
            return true;
        }
    }
    return false;
}

LSTATUS Seeds::Create(HKEY root, const std::wstring& path, const wchar_t* sddl) {
    UniqueKey above;
    HKEY parent = root;
    std::wstring parentName = root == HKEY_CLASSES_ROOT ? L"" : FullKeyName(root);
    bool recorded = false;
    for (size_t start = 0;;) {
        const size_t end = path.find(L'\\', start);
        const std::wstring made = path.substr(0, end);
        const bool last = end == std::wstring::npos;
        // A key that exists is opened for just what the next step needs (creating its subkeys,
        // or its security where the self-test sets it), as itself and checked, so that a tree in
        // the state the tool repairs (a deny entry, an owner-only grant) does not refuse it.
        // Keys the self-test creates it may open for everything: it set their DACLs.
        const REGSAM needs = last && sddl ? WRITE_DAC | WRITE_OWNER : KEY_CREATE_SUB_KEY;
        TreeKey existing(parent, parentName, path.substr(start, end - start), made, nullptr,
                         root == HKEY_CLASSES_ROOT ? &roots_ : nullptr);
        UniqueKey key;
        bool created = false;
        LSTATUS status = existing.Open(needs, key);
        if (status == ERROR_FILE_NOT_FOUND) {
            status = CreateKey(parent, path.substr(start, end - start), key, &created);
        } else if (status == ERROR_ACCESS_DENIED) {
            refused_ = needs == KEY_CREATE_SUB_KEY ? L"KEY_CREATE_SUB_KEY (creating its subkeys)"
                                                   : L"WRITE_DAC and WRITE_OWNER";
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (created && start == 0 && (made == kScratchTable || made == kMergedTable)) {
            status = ::RegSetValueExW(key.get(), kCreatedMark, 0, REG_SZ, nullptr, 0);
            if (status != ERROR_SUCCESS) {
                return status;
            }
        }
        if (created && !recorded) {
            // Only the topmost key made: removing it removes what was made below it.
            const Planted physical =
                root == HKEY_CLASSES_ROOT ? PhysicalOf(key.get(), made) : Planted{root, made};
            bool below = false;
            for (const Planted& planted : planted_) {
                below |= planted.root == physical.root &&
                         physical.path.starts_with(planted.path + L"\\");
            }
            if (!below) {
                planted_.push_back(physical);
            }
            recorded = true;
        }
        if (last) {
            return sddl ? SetSddl(key.get(), sddl) : ERROR_SUCCESS;
        }
        parentName = created ? FullKeyName(key.get()) : existing.FullName();
        above = std::move(key);
        parent = above.get();
        start = end + 1;
    }
}

Seeds::Planted Seeds::PhysicalOf(HKEY key, const std::wstring& path) const {
    const std::wstring* root = roots_.RootOf(FullKeyName(key), path);
    return {root == &roots_.machine && MachineClasses() ? MachineClasses()
            : root == &roots_.user && UserClasses()     ? UserClasses()
                                                        : HKEY_CLASSES_ROOT,
            path};
}

LSTATUS Seeds::Plant(std::wstring& what) {
    // Owners other than the self-test's own need the restore privilege; whether an existing key
    // that denies reading it is a link is told under the security privilege, as the tool does.
    const ScopedPrivilege restore = ScopedPrivilege::Enable(token_, Privilege::Restore);
    const ScopedPrivilege names = ScopedPrivilege::Enable(token_, Privilege::Security);
    LSTATUS status = PlantTrees(what);
    status = status == ERROR_SUCCESS ? PlantMerged(what) : status;
    if (status == ERROR_ACCESS_DENIED && !refused_.empty()) {
        what += L": error 5: it does not grant administrators " + refused_ +
                L". Repair that tree first with typekey-repair.exe (keep its undo file to give "
                L"the tree back), then run the self-test again";
    } else if (status != ERROR_SUCCESS) {
        what += L": error " + std::to_wstring(status);
    }
    return status;
}

LSTATUS Seeds::PlantTrees(std::wstring& what) {
    const std::wstring scratch = kScratch;
    const std::wstring twin = Join(kTwin, L"tkr-selftest");
    const std::pair<std::wstring, const wchar_t*> keys[] = {
        {kScratchTable, nullptr},
        {scratch, nullptr},
        {Join(kSentinel, L"Child"), nullptr},
        {kSentinel, kSentinelSddl},
        {Join(scratch, kForeign), kForeignSddl},
        {Join(scratch, kLockedChild), kNormalSddl},
        {Join(scratch, kLocked), kLockedSddl},
        {Join(scratch, kDenyWriteDac), kDenyWriteDacSddl},
        {Join(scratch, kDenyReadControl), kDenyReadControlSddl},
        {Join(scratch, kChain), nullptr},
        {Join(scratch, kSiblings), nullptr},
        {twin, nullptr},
    };
    for (const auto& [path, sddl] : keys) {
        what = path;
        if (const LSTATUS status = Create(HKEY_CLASSES_ROOT, path, sddl); status != ERROR_SUCCESS) {
            return status;
        }
    }
    for (const std::wstring& top : {scratch, twin}) {
        for (const FamilyKey& family : kFamily) {
            what = Join(top, family.path);
            const LSTATUS status = Create(HKEY_CLASSES_ROOT, what,
                                          family.isProtected ? kFamilyProtectedSddl : kFamilySddl);
            if (status != ERROR_SUCCESS) {
                return status;
            }
        }
    }

    // The links name the sentinel as the registry does, wherever this view's classes are kept.
    UniqueKey sentinel;
    what = kSentinel;
    LSTATUS status = OpenPath(HKEY_CLASSES_ROOT, kSentinel, KEY_QUERY_VALUE, sentinel);
    const std::wstring target = FullKeyName(sentinel.get());
    status = status == ERROR_SUCCESS && target.empty() ? ERROR_INVALID_DATA : status;
    // The keys below the scratch key are made through the classes root it is in.
    UniqueKey scratchKey;
    what = scratch;
    status = status == ERROR_SUCCESS
                 ? OpenPath(HKEY_CLASSES_ROOT, scratch, KEY_QUERY_VALUE, scratchKey)
                 : status;
    if (status == ERROR_SUCCESS) {
        const Planted physical = PhysicalOf(scratchKey.get(), scratch);
        status = OpenPath(physical.root, physical.path, KEY_ALL_ACCESS, scratchKey);
    }
    for (const auto& [name, sddl] : {std::pair{kLink, static_cast<const wchar_t*>(nullptr)},
                                     std::pair{kLockedLink, kLockedSddl}}) {
        UniqueKey link;
        what = Join(scratch, name);
        status =
            status == ERROR_SUCCESS ? CreateLink(scratchKey.get(), name, target, link) : status;
        status = status == ERROR_SUCCESS && sddl ? SetSddl(link.get(), sddl) : status;
    }
    // The chain, each key made through the one above it (no full path is needed, however deep),
    // and the siblings.
    UniqueKey chain;
    what = Join(scratch, kChain);
    status = status == ERROR_SUCCESS ? OpenAsItself(scratchKey.get(), kChain, KEY_ALL_ACCESS, chain)
                                     : status;
    for (unsigned depth = 1; depth < kChainDepth && status == ERROR_SUCCESS; ++depth) {
        UniqueKey next;
        what += L"\\c";
        status = CreateKey(chain.get(), L"c", next);
        chain = std::move(next);
    }
    UniqueKey siblings;
    what = Join(scratch, kSiblings);
    status = status == ERROR_SUCCESS
                 ? OpenAsItself(scratchKey.get(), kSiblings, KEY_ALL_ACCESS, siblings)
                 : status;
    for (unsigned i = 0; i < kSiblingCount && status == ERROR_SUCCESS; ++i) {
        wchar_t name[16];
        swprintf(name, 16, L"s%03u", i);
        UniqueKey sibling;
        status = CreateKey(siblings.get(), name, sibling);
    }
    return status;
}

LSTATUS Seeds::PlantMerged(std::wstring& what) {
    what = Join(Join(kMachineClasses, kMergedTable), kMachineChild);
    LSTATUS status = MachineClasses() ? Create(MachineClasses(), Join(kMergedTable, kMachineChild))
                                      : ERROR_FILE_NOT_FOUND;
    if (status == ERROR_SUCCESS && Created(MachineClasses(), kMergedTable)) {
        UniqueKey key;
        status = OpenAsItself(MachineClasses(), kMergedTable, WRITE_DAC, key);
        status = status == ERROR_SUCCESS ? SetSddl(key.get(), kMachineMergedSddl) : status;
    }
    if (status == ERROR_SUCCESS) {
        what = Join(Join(kUserClasses, kMergedTable), kUserChild);
        status = UserClasses() ? Create(UserClasses(), Join(kMergedTable, kUserChild))
                               : ERROR_FILE_NOT_FOUND;
    }
    return status;
}

} // namespace tkr::selftest
