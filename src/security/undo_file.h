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

// Reads the key's owner and DACL as SDDL. When the plain read is denied, tries again under the
// backup privilege. Returns a Win32 code (ERROR_FILE_NOT_FOUND: no such key).
[[nodiscard]] DWORD ReadKeySddl(const TreeKey& key, std::wstring& sddl);

// Writes entries to the undo file, opening it when first needed (and again after a failure).
class UndoWriter {
  public:
    explicit UndoWriter(std::wstring path) : path_(std::move(path)) {}
    // Saves the key's present owner and DACL before they change. A key that does not exist
    // gets no entry. When the entry cannot be written, a Warning detail line in the log says
    // so, and the repair goes on.
    void Save(const TreeKey& key);

  private:
    [[nodiscard]] DWORD Write(const std::wstring& line);
    std::wstring path_;
    UniqueFile file_;
};

struct UndoEntry {
    std::wstring path;
    std::wstring sddl;           // as recorded; empty when unreadable
    DWORD unreadable = 0;        // the code it could not be read with
    UniqueDescriptor descriptor; // the SDDL converted
};

// Reads and validates the whole undo file: header, every line, every SDDL, every path inside
// the trees of `roots`. On failure returns false with the first bad line's number (1 for the
// header or a file that cannot be read) and what is wrong with it.
bool ReadUndoFile(const std::wstring& file, std::span<const wchar_t* const> roots,
                  std::vector<UndoEntry>& entries, unsigned& badLine, std::wstring& reason);

} // namespace tkr
