// The undo file on the disk: the writer that keeps it during a repair, and the reader of a
// restore run. Its text is undo_format's.
#pragma once

#include "platform/unique.h"
#include "report/run_log.h"
#include "report/undo_format.h"
#include "security/descriptor.h"

#include <windows.h>

#include <span>
#include <string>

namespace tkr {

// What an undo entry can do for its key: give it back; nothing, though written ("unreadable");
// nothing, not being in the file (counted by the writer). A key that does not exist needs none.
enum class Saved { Restorable, Unreadable, NotWritten };

// An entry staged for a key, as the key's lines report it.
struct StagedEntry {
    Saved saved = Saved::Restorable;
    DWORD error = ERROR_SUCCESS; // why it is not written
    std::wstring notice;         // the file's name, where its first was taken
};

// Writes the run's undo file. It is created new when the first entry needs it, never opened
// when it exists: a name taken (by a planted file, or another run of the same second) makes it
// take the next free one, "..._undo_2.txt" and on. It is held for the run, readable by others
// but not writable nor deletable. Entries are written in groups, write-ahead: a group's entries
// and its end are written and flushed to the disk (Commit) before any key of the group changes,
// so that each entry survives a crash or a power loss that comes after its key's first change.
// One flush serves the whole group.
class UndoWriter {
  public:
    UndoWriter(std::wstring path, const RunLog& log) : path_(std::move(path)), log_(log) {}
    UndoWriter(const UndoWriter&) = delete;
    UndoWriter& operator=(const UndoWriter&) = delete;
    // Adds the key's present owner and DACL (`descriptor`, as ReadTreeKeySecurity read it with
    // status `read`), under its path and the full name of the key saved, to the group being
    // written. A key that does not exist gets no entry. Returns what the entry will do once
    // committed (NotWritten when the file cannot take it).
    [[nodiscard]] StagedEntry Stage(const std::wstring& path, const std::wstring& fullName,
                                    DWORD read, const Bytes& descriptor);
    // Writes the group staged since the last commit and flushes it to the disk. Returns
    // ERROR_SUCCESS, or the error that kept the group from the disk: then none of its entries
    // counts as written, and the file takes no more.
    [[nodiscard]] DWORD Commit();
    // Logs the Warning detail lines of a key's entry, at the key's turn: the file's name where
    // its first was taken, and an entry not written.
    void Report(const StagedEntry& entry) const;
    // The keys whose entry could not be written.
    [[nodiscard]] unsigned NotSaved() const { return notSaved_; }

  private:
    [[nodiscard]] DWORD Create(std::wstring& notice);
    std::wstring path_;
    const RunLog& log_;
    UniqueFile file_;
    std::wstring group_;           // the entries staged, not yet written
    unsigned staged_ = 0;          // how many
    DWORD broken_ = ERROR_SUCCESS; // why the file cannot take more entries
    unsigned notSaved_ = 0;
};

// Reads and validates the whole undo file: its text, and every SDDL converted. A file that
// cannot be read counts as a bad line 1; one that another process holds open for writing is
// refused.
[[nodiscard]] UndoText ReadUndoFile(const std::wstring& file,
                                    std::span<const wchar_t* const> roots);

} // namespace tkr
