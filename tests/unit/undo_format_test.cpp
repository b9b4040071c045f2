// The undo file's text: what is read back from what a repair wrote, and what is refused.
#include "report/undo_format.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

using namespace std::string_literals;

const std::array<const wchar_t*, 2> kRoots = {L".qk4", L".zor"};

// The bytes of an undo file: byte-order mark, header, then `lines` as they stand.
std::string FileBytes(const std::wstring& lines, const std::wstring& start = tkr::UndoFileStart()) {
    std::string bytes;
    for (const wchar_t unit : start + lines) { // UTF-16LE, whatever wchar_t's size
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    }
    return bytes;
}

struct TextCase {
    std::string bytes;
    std::wstring firstPath; // of the first entry, if one is expected
    std::wstring firstName; // its full name
    DWORD unreadable;       // of the first entry
    unsigned tornLine;
    unsigned badLine;
    const wchar_t* reason;
};

class UndoText : public ::testing::TestWithParam<TextCase> {};

TEST_P(UndoText, IsReadAsWrittenAndRefusedWhereDamaged) {
    const TextCase& c = GetParam();
    const tkr::UndoText text = tkr::ParseUndoText(c.bytes, kRoots);
    EXPECT_EQ(text.badLine, c.badLine);
    EXPECT_EQ(text.reason, c.reason);
    EXPECT_EQ(text.tornLine, c.tornLine);
    if (!c.firstPath.empty()) {
        ASSERT_FALSE(text.entries.empty());
        EXPECT_EQ(text.entries[0].path, c.firstPath);
        EXPECT_EQ(text.entries[0].fullName, c.firstName);
        EXPECT_EQ(text.entries[0].unreadable, c.unreadable);
    }
}

const std::wstring kName = L"\\REGISTRY\\USER\\S-1-5-21-7_Classes\\k";
const std::wstring kNamed = L"\t" + kName + L"\t";
const std::wstring kSddl = kNamed + L"O:BAD:(A;;KA;;;SY)\r\n";
INSTANTIATE_TEST_SUITE_P(
    Cases, UndoText,
    ::testing::Values(
        TextCase{FileBytes(tkr::UndoEntryLine(L".qk4\\a\tb\n%", kName + L"%\t",
                                              L"O:BAD:(A;;KA;;;SY)", 0)),
                 L".qk4\\a\tb\n%", kName + L"%\t", 0, 0, 0, L""},
        TextCase{FileBytes(L".zor\\%0a%7f" + kSddl), L".zor\\\n\x7F", kName, 0, 0, 0, L""},
        TextCase{FileBytes(L".QK4\\x" + kNamed + L"unreadable 5\r\n"), L".QK4\\x", kName, 5, 0, 0,
                 L""},
        // A version 1 file: no names.
        TextCase{FileBytes(L".qk4\tO:BA\r\n", L"\xFEFF"
                                              L"typekey-repair undo file, version 1\r\n"),
                 L".qk4", L"", 0, 0, 0, L""},
        TextCase{FileBytes(L".qk4\\a%00" + kSddl), L"", L"", 0, 0, 2,
                 L"has a badly escaped key path"},
        TextCase{FileBytes(L".qk4" + kSddl + L".qk4\\%2" + kSddl), L".qk4", kName, 0, 0, 3,
                 L"has a badly escaped key path"},
        TextCase{FileBytes(L".qk4\\\\x" + kSddl), L"", L"", 0, 0, 2,
                 L"names a key outside the repaired trees"},
        TextCase{FileBytes(L".abc" + kSddl), L"", L"", 0, 0, 2,
                 L"names a key outside the repaired trees"},
        TextCase{FileBytes(L".qk4\tClasses\\k\tO:BA\r\n"), L"", L"", 0, 0, 2,
                 L"has a bad full key name"},
        TextCase{FileBytes(L".qk4" + kNamed + L"unreadable 0\r\n"), L"", L"", 0, 0, 2,
                 L"has a bad error code"},
        TextCase{FileBytes(L".qk4" + kNamed + L"unreadable 4294967296\r\n"), L"", L"", 0, 0, 2,
                 L"has a bad error code"},
        TextCase{FileBytes(L".qk4\tO:BA\r\n"), L"", L"", 0, 0, 2,
                 L"is not a key path, a tab, its full name, a tab and its security"},
        // A null inside a line: sectors that never reached the disk where it is in the last group
        // (an empty line ends each); anywhere else, a damaged file.
        TextCase{FileBytes(L".qk4" + kSddl + L".qk4\\a" + kNamed + L"O:BAD:(A;;K\0\0;;;SY)\r\n"s),
                 L".qk4", kName, 0, 3, 0, L""},
        TextCase{
            FileBytes(L".qk4" + kSddl + L"\r\n.qk4\\a" + kNamed + L"O:BAD:(A;;K\0;;;SY)\r\n\r\n"s),
            L".qk4", kName, 0, 4, 0, L""},
        TextCase{FileBytes(L".qk4" + kNamed + L"O:BAD:(A;;KA;\0;;SY)\r\n\r\n.qk4"s + kSddl), L"",
                 L"", 0, 0, 2, L"holds a null character"},
        // What a crash leaves after the last whole line: ignored, and said.
        TextCase{FileBytes(L".qk4" + kSddl + L".qk4\\half\tO:B"), L".qk4", kName, 0, 3, 0, L""},
        TextCase{FileBytes(L".qk4" + kSddl) + '\x41', L".qk4", kName, 0, 3, 0, L""},
        TextCase{FileBytes(L".qk4" + kSddl) + std::string(4096, '\0'), L".qk4", kName, 0, 3, 0,
                 L""},
        // The file as a whole.
        TextCase{"", L"", L"", 0, 0, 1, L"is empty"},
        TextCase{"ab", L"", L"", 0, 0, 1, L"is not UTF-16 text with a byte-order mark"},
        TextCase{FileBytes(L"").substr(0, 20), L"", L"", 0, 0, 1, L"is cut short"},
        TextCase{std::string("\xFF\xFE", 2) + std::string("v\0\r\0\n\0", 6), L"", L"", 0, 0, 1,
                 L"is not the header of a version 1 or 2 undo file"}));

} // namespace
