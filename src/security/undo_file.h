// The undo file on the disk: the reading of each key's security for it, the writer that keeps
// it during a repair, and the reader of a restore run. Its text is undo_format's.
#pragma once

#include "platform/unique.h"
#include "registry/tree_key.h"
#include "report/run_log.h"
#include "security/descriptor.h"
#include "security/undo_format.h"

#include <windows.h>

#include <span>
#include <string>
#include <vector>

namespace tkr {

// Reads the key's owner, group and DACL, in a self-relative descriptor. When the plain read is
// denied, tries again under the backup privilege. Returns a Win32 code (ERROR_FILE_NOT_FOUND: no
// such key).
[[nodiscard]] DWORD ReadTreeKeySecurity(const TreeKey& key, Bytes& descriptor);
// The same, owner and DACL as SDDL.
[[nodiscard]] DWORD ReadKeySddl(const TreeKey& key, std::wstring& sddl);

// Writes the run's undo file. It is created new when the first entry needs it, never opened
// when it exists: a name taken (by a planted file, or another run of the same second) makes it
// take the next free one, "..._undo_2.txt" and on. It is held for the run, readable by others
// but not writable nor deletable, and flushed to disk at the end.
class UndoWriter {
  public:
    UndoWriter(std::wstring path, const RunLog& log) : path_(std::move(path)), log_(log) {}
    UndoWriter(const UndoWriter&) = delete;
    UndoWriter& operator=(const UndoWriter&) = delete;
    ~UndoWriter();
    // Saves the key's present owner and DACL (`descriptor`, as ReadTreeKeySecurity read it with
    // status `read`) before they change. A key that does not exist gets no entry. When the entry
    // cannot be written, a Warning detail line in the log says so, the key is counted, and the
    // repair goes on.
    void Save(const std::wstring& path, DWORD read, const Bytes& descriptor);
    // The keys whose entry could not be written.
    [[nodiscard]] unsigned NotSaved() const { return notSaved_; }

  private:
    [[nodiscard]] DWORD Create();
    [[nodiscard]] DWORD Write(const std::wstring& text);
    std::wstring path_;
    const RunLog& log_;
    UniqueFile file_;
    DWORD broken_ = ERROR_SUCCESS; // why the file cannot take more entries
    unsigned notSaved_ = 0;
};

struct UndoEntry {
    std::wstring path;
    std::wstring sddl;           // as recorded; empty when unreadable
    DWORD unreadable = 0;        // the code it could not be read with
    UniqueDescriptor descriptor; // the SDDL converted
};

// What reading an undo file found.
struct UndoFile {
    std::vector<UndoEntry> entries;
    unsigned tornLine = 0; // see UndoText::tornLine
};

struct UndoRead {
    UndoFile file;
    // The first line that is not whole and valid (1 for the header or a file that cannot be
    // read), and what is wrong with it; 0 and empty when the file can be used.
    unsigned badLine = 0;
    std::wstring reason;
};

// Reads and validates the whole undo file: its text, and every SDDL converted. A file that
// another process holds open for writing is refused.
[[nodiscard]] UndoRead ReadUndoFile(const std::wstring& file,
                                    std::span<const wchar_t* const> roots);

} // namespace tkr
