// The undo file's reader, on bytes anyone who could write the file could have put there.
// Properties: no crash and nothing read outside the input (the sanitizers); a file it accepts,
// written again entry by entry and read again, gives the same entries.
#include "report/undo_format.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

const std::array<const wchar_t*, 2> kRoots = {L".qk4", L".zor"};

std::string Utf16Bytes(const std::wstring& text) {
    std::string bytes;
    for (const wchar_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const tkr::UndoText read = tkr::ParseUndoText(bytes, kRoots);
    // Read back as written: a version 2 file (a version 1 file's entries have no full name).
    if (read.badLine != 0 || (!read.entries.empty() && read.entries[0].fullName.empty())) {
        return 0;
    }
    std::wstring text = tkr::UndoFileStart();
    for (const tkr::UndoLine& entry : read.entries) {
        text += tkr::UndoEntryLine(entry.path, entry.fullName, entry.sddl, entry.unreadable);
    }
    const tkr::UndoText again = tkr::ParseUndoText(Utf16Bytes(text), kRoots);
    if (again.badLine != 0 || again.tornLine != 0 || again.entries.size() != read.entries.size()) {
        std::abort();
    }
    for (size_t i = 0; i < read.entries.size(); ++i) {
        const tkr::UndoLine& a = read.entries[i];
        const tkr::UndoLine& b = again.entries[i];
        if (a.path != b.path || a.fullName != b.fullName || a.sddl != b.sddl ||
            a.unreadable != b.unreadable) {
            std::abort();
        }
    }
    return 0;
}
