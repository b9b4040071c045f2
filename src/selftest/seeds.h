// The keys the self-test plants in the trees and beside them, and their removal, which runs also
// when the self-test fails half-way.
#pragma once

#include "platform/unique.h"
#include "registry/tree_key.h"
#include "security/privilege.h"

#include <windows.h>

#include <string>
#include <vector>

namespace tkr::selftest {

// Paths below HKEY_CLASSES_ROOT (those of the user's and the machine's classes are below
// kUserClasses and kMachineClasses).
inline constexpr wchar_t kScratchTable[] = L".qk4";
inline constexpr wchar_t kScratch[] = L".qk4\\tkr-selftest";
inline constexpr wchar_t kTwin[] = L"tkr-selftest-twin"; // the table key's twin, outside the trees
inline constexpr wchar_t kSentinel[] = L"tkr-selftest-sentinel";
inline constexpr wchar_t kMergedTable[] = L".zor";
inline constexpr wchar_t kUserChild[] = L"tkr-selftest-user";
inline constexpr wchar_t kMachineChild[] = L"tkr-selftest-machine";
inline constexpr wchar_t kUserClasses[] = L"HKEY_CURRENT_USER\\Software\\Classes";
inline constexpr wchar_t kMachineClasses[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes";
// The value that marks a table key the self-test created, so that a later self-test removes it
// when this one could not (it was interrupted).
inline constexpr wchar_t kCreatedMark[] = L"tkr-selftest-created";

// The seeded keys below kScratch, and the owner and DACL each is given.
inline constexpr wchar_t kForeign[] = L"Foreign";
inline constexpr wchar_t kLocked[] = L"Locked";
inline constexpr wchar_t kLockedChild[] = L"Locked\\Child";
inline constexpr wchar_t kDenyWriteDac[] = L"DenyWriteDac";
inline constexpr wchar_t kDenyReadControl[] = L"DenyReadControl";
inline constexpr wchar_t kLink[] = L"Link";
inline constexpr wchar_t kLockedLink[] = L"LockedLink";
inline constexpr wchar_t kChain[] = L"Chain";
inline constexpr wchar_t kSiblings[] = L"Siblings";
inline constexpr unsigned kChainDepth = 500;
inline constexpr unsigned kSiblingCount = 500;
// The inheritance family, seeded in the trees and again below the twin: its keys from the top,
// whether each is protected.
struct FamilyKey {
    const wchar_t* path; // below kScratch
    bool isProtected;
};
inline constexpr FamilyKey kFamily[] = {{L"Inherit", false},
                                        {L"Inherit\\Open", false},
                                        {L"Inherit\\Open\\Leaf", false},
                                        {L"Inherit\\Shut", true},
                                        {L"Inherit\\Shut\\Leaf", false}};

// Inheritable entries of every kind: container and object inherit, no-propagate, inherit-only,
// generic rights, CREATOR OWNER, CREATOR GROUP, a deny entry.
inline constexpr wchar_t kFamilySddl[] =
    L"O:BAD:(D;CI;WD;;;AN)(A;;KA;;;BA)(A;CI;GR;;;BU)(A;OI;KR;;;LS)"
    L"(A;CINP;KW;;;NS)(A;CIIO;GA;;;CO)(A;CIIO;GR;;;CG)(A;OICI;GX;;;SY)";
inline constexpr wchar_t kFamilyProtectedSddl[] =
    L"O:BAD:P(D;CI;WD;;;AN)(A;;KA;;;BA)(A;CI;GR;;;BU)(A;OI;KR;;;LS)"
    L"(A;CINP;KW;;;NS)(A;CIIO;GA;;;CO)(A;CIIO;GR;;;CG)(A;OICI;GX;;;SY)";
// What is planted, and what was created so that it could be (a table key, a classes key): all of
// it is removed by Remove() or, at the latest, the destructor.
class Seeds {
  public:
    explicit Seeds(const ProcessToken& token);
    Seeds(const Seeds&) = delete;
    Seeds& operator=(const Seeds&) = delete;
    ~Seeds() { (void)Remove(); }

    // The lines that say what Plant() will create and change.
    [[nodiscard]] static std::vector<std::wstring> Plan();
    // Removes what an earlier self-test left (its keys only, found by their names, and the table
    // keys it created, found by their mark); `removed` names each key removed.
    [[nodiscard]] LSTATUS RemoveLeftovers(std::wstring& what, std::vector<std::wstring>& removed);
    // Plants everything; on failure `what` names the key and the error, and, where an existing
    // key refused administrators what the step needed, which right that was and what to do.
    [[nodiscard]] LSTATUS Plant(std::wstring& what);
    // Removes everything planted or created; returns the first failure, naming its key.
    [[nodiscard]] LSTATUS Remove(std::wstring* what = nullptr);
    // The user's and the machine's classes (kUserClasses, kMachineClasses), open; null where
    // they could not be opened.
    [[nodiscard]] HKEY UserClasses() const { return userClasses_.get(); }
    [[nodiscard]] HKEY MachineClasses() const { return machineClasses_.get(); }

  private:
    struct Planted {
        HKEY root;
        std::wstring path;
    };
    LSTATUS PlantTrees(std::wstring& what);
    LSTATUS PlantMerged(std::wstring& what);
    LSTATUS RemoveOne(const Planted& planted) const;
    // The key at `path` below HKEY_CLASSES_ROOT that `key` holds, as the classes root it is in
    // and its path there: removed through it, never through the merged view, where a key of the
    // same path in the other root could take its place.
    [[nodiscard]] Planted PhysicalOf(HKEY key, const std::wstring& path) const;
    // Whether this key is one the self-test made (the topmost of those it made on a path).
    [[nodiscard]] bool Created(HKEY root, const std::wstring& path) const;
    // Opens or creates the path below root, recording each key it creates.
    LSTATUS Create(HKEY root, const std::wstring& path, const wchar_t* sddl = nullptr);

    const ProcessToken& token_;
    const ClassesRoots roots_ = ReadClassesRoots();
    UniqueKey userClasses_;
    UniqueKey machineClasses_;
    std::vector<Planted> planted_; // in the order made; removed newest first
    std::wstring refused_;         // the right an existing key refused administrators
};

} // namespace tkr::selftest
