// The escaping of key names, which anyone who can create a key chooses: as console and log lines
// show them, and as the undo file records them. Input: UTF-16LE units of a name. Properties: no
// control character survives in a shown name but the tab, none in a recorded path, and a
// recorded path reads back as the name.
#include "report/display_name.h"
#include "report/undo_format.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

bool IsControl(wchar_t c) {
    return c < 0x20 || c == 0x7F;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring name;
    for (size_t i = 0; i + 1 < size; i += 2) {
        name += static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    }
    for (const wchar_t c : tkr::DisplayName(name)) {
        if (IsControl(c) && c != L'\t') {
            std::abort();
        }
    }
    constexpr std::wstring_view kEnd = L"\t\\REGISTRY\\X\tO:BA\r\n";
    const std::wstring line = tkr::UndoEntryLine(name, L"\\REGISTRY\\X", L"O:BA", 0);
    if (line.size() < kEnd.size() || line.substr(line.size() - kEnd.size()) != kEnd) {
        std::abort();
    }
    for (size_t i = 0; i + kEnd.size() < line.size(); ++i) {
        if (IsControl(line[i])) {
            std::abort();
        }
    }
    // Recorded below a table key and read back (where the reader takes it: no null, no empty
    // component): the same name.
    const std::array<const wchar_t*, 1> roots = {L".qk4"};
    std::string bytes;
    for (const wchar_t unit :
         tkr::UndoFileStart() +
             tkr::UndoEntryLine(L".qk4\\" + name, L"\\REGISTRY\\X", L"O:BA", 0)) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    }
    const tkr::UndoText read = tkr::ParseUndoText(bytes, roots);
    if (read.badLine == 0 &&
        (read.entries.size() != 1 || read.entries[0].path != L".qk4\\" + name)) {
        std::abort();
    }
    return 0;
}
