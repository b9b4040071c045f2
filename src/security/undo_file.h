// The undo file: each key's owner and DACL as they were before the repair changed them, written
// ahead of the change, and read back for a restore run.
//
// UTF-16LE with a byte-order mark. The first line is kUndoHeader; then one line per key, in the
// order of the walk: the key's path below HKEY_CLASSES_ROOT, a tab, and either its owner and
// DACL as SDDL ("O:...D:...") or "unreadable <code>" when they could not be read. In the path,
// "%" and the control characters (below U+0020, and U+007F) are written as "%" and two hex digits
// ("%09" tab, "%0A" line feed, "%25" percent). Every line ends in CR LF.
#pragma once

#include "platform/unique.h"
#include "registry/tree_key.h"
#include "report/run_log.h"
#include "security/descriptor.h"

#include <windows.h>

#include <span>
#include <string>
#include <vector>

namespace tkr {

inline constexpr wchar_t kUndoHeader[] = L"typekey-repair undo file, version 1";

// The undo file's name for a run log: "..._140303_090507.log" gives "..._140303_090507_undo.txt".
std::wstring UndoPathFor(const std::wstring& logPath);

std::wstring EscapeUndoPath(const std::wstring& path);
// False when the text is no escaped path (a "%" without two hex digits, or a null).
bool UnescapeUndoPath(const std::wstring& text, std::wstring& path);

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
    // The number of a last line left incomplete (cut short, a partial character, zero bytes
    // after the last whole line, as a crash leaves it), ignored; 0 when there is none.
    unsigned tornLine = 0;
};

// Reads and validates the whole undo file: header, every line, every SDDL, every path inside
// the trees of `roots`. Damage only at the end is left out (see UndoFile::tornLine). A file that
// another process holds open for writing is refused. On failure returns false with the first
// bad line's number (1 for the header or a file that cannot be read) and what is wrong with it.
[[nodiscard]] bool ReadUndoFile(const std::wstring& file, std::span<const wchar_t* const> roots,
                                UndoFile& undo, unsigned& badLine, std::wstring& reason);

} // namespace tkr
