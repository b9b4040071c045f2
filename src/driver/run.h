// The run: options, the table of document-type keys, and what each mode does with them.
#pragma once

#include "driver/walk.h"
#include "security/undo_file.h"

#include <windows.h>

#include <array>
#include <string>
#include <vector>

namespace tkr {

// The extension keys under HKEY_CLASSES_ROOT whose trees are repaired, in order.
extern const std::array<const wchar_t*, 15> DocumentTypeKeys;

// The repair of each key: its owner and DACL saved in the undo file, then repaired; the result
// line is "DONE" or "ERROR OCCURED".
class RepairAction final : public KeyAction {
  public:
    RepairAction(DWORD inheritanceFlags, UndoWriter& undo)
        : inheritanceFlags_(inheritanceFlags), undo_(undo) {}
    [[nodiscard]] const wchar_t* Verb() const override { return L"Fix"; }
    Outcome Act(const std::wstring& path, std::wstring objectName) override;

  private:
    DWORD inheritanceFlags_;
    UndoWriter& undo_;
};

// The check of each key, changing nothing: "OK", "NOT PRESENT" or "NEEDS REPAIR: ...".
class CheckAction final : public KeyAction {
  public:
    explicit CheckAction(DWORD inheritanceFlags) : inheritanceFlags_(inheritanceFlags) {}
    [[nodiscard]] const wchar_t* Verb() const override { return L"Check"; }
    Outcome Act(const std::wstring& path, std::wstring objectName) override;

  private:
    DWORD inheritanceFlags_;
};

// Restores each entry's key, newest entry first, announcing each and its result.
void RestoreEntries(const std::vector<UndoEntry>& entries, Tally& tally);

// The whole run: options, log name, the mode's work, then the prompt or the summary line.
// Returns the exit status: 0 done, 1 a key failed or needs repair (with -q or -check), 2 a usage
// error or an undo file that cannot be used.
int RunRepair(int argc, wchar_t** argv);

// The entry point's body: RunRepair, or, when the run cannot go on (no memory, a text that
// cannot be formatted, no local time), a message on the console and 3.
int RunTool(int argc, wchar_t** argv);

} // namespace tkr
