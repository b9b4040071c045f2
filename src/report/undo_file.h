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

// Writes the run's undo file. It is created new when the first entry needs it, never opened
// when it exists: a name taken (by a planted file, or another run of the same second) makes it
// take the next free one, "..._undo_2.txt" and on. It is held for the run, readable by others
// but not writable nor deletable. Each write is flushed to the disk before Save returns, so that
// an entry survives a crash or a power loss that comes after its key's first change.
class UndoWriter {
  public:
    UndoWriter(std::wstring path, const RunLog& log) : path_(std::move(path)), log_(log) {}
    UndoWriter(const UndoWriter&) = delete;
    UndoWriter& operator=(const UndoWriter&) = delete;
    // Saves the key's present owner and DACL (`descriptor`, as ReadTreeKeySecurity read it with
    // status `read`) before they change. A key that does not exist gets no entry. When the entry
    // cannot be written, a Warning detail line in the log says so, the key is counted, and the
    // repair goes on.
    void Save(const std::wstring& path, DWORD read, const Bytes& descriptor);
    // The keys whose entry could not be written.
    [[nodiscard]] unsigned NotSaved() const { return notSaved_; }
    // Whether the file takes no more entries (a write failed): the last entry is not in it.
    [[nodiscard]] bool Broken() const { return broken_ != ERROR_SUCCESS; }

  private:
    [[nodiscard]] DWORD Create();
    [[nodiscard]] DWORD Write(const std::wstring& text);
    std::wstring path_;
    const RunLog& log_;
    UniqueFile file_;
    DWORD broken_ = ERROR_SUCCESS; // why the file cannot take more entries
    unsigned notSaved_ = 0;
};

// Reads and validates the whole undo file: its text, and every SDDL converted. A file that
// cannot be read counts as a bad line 1; one that another process holds open for writing is
// refused.
[[nodiscard]] UndoText ReadUndoFile(const std::wstring& file,
                                    std::span<const wchar_t* const> roots);

} // namespace tkr
