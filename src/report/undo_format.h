// The undo file's text: each key's owner and DACL as they were before the repair changed them.
// Text in and text out, with no Windows call, so that every rule of the format is tested alone.
//
// UTF-16LE with a byte-order mark. The first line is kUndoHeader; then one line per key, in the
// order of the walk: the key's path below HKEY_CLASSES_ROOT, a tab, the full name of the key its
// handle named (the physical key, "\REGISTRY\MACHINE\SOFTWARE\Classes\..." or
// "\REGISTRY\USER\<SID>_Classes\..."), a tab, and either its owner and DACL as SDDL
// ("O:...D:...") or "unreadable <code>" when they could not be read. In the path and the name, "%"
// and the control characters (below U+0020, and U+007F) are written as "%" and two hex digits
// ("%09" tab, "%0A" line feed, "%25" percent). Every line ends in CR LF. A version 1 file (written
// before keys were saved by their full names) has no name: its entries are read with an empty
// one, and a restore refuses them.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tkr {

inline constexpr wchar_t kUndoHeader[] = L"typekey-repair undo file, version 2";
inline constexpr wchar_t kUndoHeaderVersion1[] = L"typekey-repair undo file, version 1";

// The undo file's name for a run log: "..._140303_090507.log" gives "..._140303_090507_undo.txt".
[[nodiscard]] std::wstring UndoPathFor(const std::wstring& logPath);

// The text of the file's start (byte-order mark and header) and of one entry: `sddl`, or
// "unreadable <code>" when `unreadable` is not 0.
[[nodiscard]] std::wstring UndoFileStart();
[[nodiscard]] std::wstring UndoEntryLine(const std::wstring& path, const std::wstring& fullName,
                                         const std::wstring& sddl, DWORD unreadable);

struct UndoLine {
    unsigned number = 0; // its line in the file
    std::wstring path;
    std::wstring fullName;        // of the key saved; empty in a version 1 file
    std::wstring sddl;            // as recorded; empty when unreadable
    DWORD unreadable = 0;         // the code it could not be read with
    std::vector<BYTE> descriptor; // the SDDL converted (self-relative), by the file's reader
};

// What the text of an undo file holds.
struct UndoText {
    std::vector<UndoLine> entries; // the whole and valid ones before `badLine`
    // The number of a last line left incomplete (cut short, a partial character, zero bytes
    // after the last whole line or inside the last line, as a crash leaves it), ignored; 0 when
    // there is none.
    unsigned tornLine = 0;
    // The first line that is not whole and valid (1 for the header or the file as a whole), and
    // what is wrong with it; 0 and empty when there is none.
    unsigned badLine = 0;
    std::wstring reason;
};

// Parses the bytes of an undo file, checking the header and every entry line, and every path to
// lie inside the trees of `roots` (the first component one of them, in any case of ASCII
// letters). Damage only at the end is left out (see UndoText::tornLine).
[[nodiscard]] UndoText ParseUndoText(std::string_view bytes, std::span<const wchar_t* const> roots);

} // namespace tkr
