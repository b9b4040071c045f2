// Key security: the reading of a key's, and its repair: the fixed two-entry DACL and the
// Administrators owner.
#pragma once

#include "platform/unique.h"
#include "registry/tree_key.h"
#include "security/descriptor.h"
#include "security/privilege.h"

#include <windows.h>

#include <string>

namespace tkr {

// The steps of a key's repair, in order, for the one where it stopped.
enum class RepairStep {
    EveryoneSid, // the repair's DACL, built once for the run
    AdministratorsSid,
    Acl,
    InheritedFrom, // the DACL of the key's physical parent, where a merged view hid it
    FirstWrite,    // the DACL write as the key's DACL allows it
    Token,         // the take-ownership privilege, looked up once for the run and switched on
    LookUp,
    Enable,
    Owner,       // the owner write under it
    Disable,     // the privilege as it was
    SecondWrite, // the DACL write as the new owner
    None,        // every step done
};

// What became of a key's repair: the step it stopped at, with that step's Windows code
// (ERROR_NOT_ALL_ASSIGNED from a switch: the token lacks the privilege).
struct RepairResult {
    RepairStep stoppedAt = RepairStep::None;
    DWORD code = ERROR_SUCCESS;
    bool firstWriteDenied = false; // the ownership pass went on after an access denied
    // A DACL write succeeded.
    [[nodiscard]] bool Repaired() const {
        return stoppedAt == RepairStep::None ||
               (stoppedAt > RepairStep::FirstWrite && !firstWriteDenied);
    }
    // Administrators were made the owner.
    [[nodiscard]] bool OwnerSet() const { return stoppedAt > RepairStep::Owner; }
};

// The repair's DACL (Everyone: read, Administrators: full control, both inherited as the flags
// say) and the Administrators SID for the owner, built once for a run.
class RepairDacl {
  public:
    explicit RepairDacl(DWORD inheritanceFlags);
    [[nodiscard]] PACL Acl() const { return acl_.get(); }
    [[nodiscard]] PSID Administrators() const { return admins_.get(); }
    // Whether its entries grant their rights on the key they are written to (not inherit-only).
    [[nodiscard]] bool AppliesToTheKey() const { return (flags_ & INHERIT_ONLY_ACE) == 0; }
    // Where building them stopped (RepairStep::None: built).
    [[nodiscard]] const RepairResult& Built() const { return built_; }

  private:
    UniqueSid everyone_;
    UniqueSid admins_;
    UniqueAcl acl_;
    RepairResult built_;
    DWORD flags_;
};

// Writes the DACL to the key, then makes Administrators the owner under the take-ownership
// privilege and writes the DACL again, each through a handle to the key itself and to it alone.
// `before` is the key's descriptor as read for the undo file (empty when it could not be read).
[[nodiscard]] RepairResult RepairKeySecurity(const TreeKey& key, const RepairDacl& dacl,
                                             const ProcessToken& token, const Bytes& before);

// Reads the key's owner, group and DACL, in a self-relative descriptor. When the plain read is
// denied, tries again under the backup privilege. Returns a Win32 code (ERROR_FILE_NOT_FOUND: no
// such key).
[[nodiscard]] DWORD ReadTreeKeySecurity(const TreeKey& key, const ProcessToken& token,
                                        Bytes& descriptor);
// The owner and DACL of a descriptor as SDDL.
[[nodiscard]] DWORD ToSddl(const Bytes& descriptor, std::wstring& sddl);

// The well-known groups of the repair's DACL, as SIDs that need no release.
const SID& AdministratorsSid();
const SID& EveryoneSid();

} // namespace tkr
