// Key security repair: the fixed two-entry DACL and the Administrators owner for one key.
#pragma once

#include "platform/unique.h"
#include "registry/tree_key.h"
#include "report/run_log.h"

#include <windows.h>

#include <string>

namespace tkr {

// The repair's DACL (Everyone: read, Administrators: full control, both inherited as the flags
// say) and the Administrators SID for the owner, built once for a run.
class RepairDacl {
  public:
    explicit RepairDacl(DWORD inheritanceFlags);
    [[nodiscard]] PACL Acl() const { return acl_.get(); }
    [[nodiscard]] PSID Administrators() const { return admins_.get(); }
    // The error line of the step that could not build them; empty when they are built.
    [[nodiscard]] const std::wstring& Failure() const { return failure_; }

  private:
    UniqueSid everyone_;
    UniqueSid admins_;
    UniqueAcl acl_;
    std::wstring failure_;
};

// What became of one key's repair.
struct RepairResult {
    bool repaired = false;            // a DACL write succeeded
    DWORD firstWrite = ERROR_SUCCESS; // ERROR_FILE_NOT_FOUND: the key does not exist
};

// Writes the DACL to the key, then makes Administrators the owner under the take-ownership
// privilege and writes the DACL again, each through a handle to the key itself and to it alone.
// `before` is the key's descriptor as read for the undo file (empty when it could not be read).
// Every outcome goes to the run log.
[[nodiscard]] RepairResult RepairKeySecurity(const TreeKey& key, const RepairDacl& dacl,
                                             const RunLog& log, const std::vector<BYTE>& before);

// The well-known groups of the repair's DACL, as SIDs that need no release.
const SID& AdministratorsSid();
const SID& EveryoneSid();

} // namespace tkr
