#include "report/undo_format.h"

#include "registry/key_limits.h"

#include <algorithm>
#include <cwctype>

namespace tkr {
namespace {

constexpr wchar_t kUnreadable[] = L"unreadable ";
constexpr wchar_t kHex[] = L"0123456789ABCDEF";

bool NeedsEscape(wchar_t c) {
    return c < 0x20 || c == 0x7F || c == L'%';
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    c = static_cast<wchar_t>(std::towupper(c));
    return c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
}

std::wstring EscapeUndoPath(const std::wstring& path) {
    std::wstring escaped;
    escaped.reserve(path.size());
    for (wchar_t c : path) {
        if (NeedsEscape(c)) {
            escaped += L'%';
            escaped += kHex[(c >> 4) & 0xF];
            escaped += kHex[c & 0xF];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// False when the text is no escaped name (a "%" without two hex digits, or a null).
[[nodiscard]] bool UnescapeUndoPath(const std::wstring& text, std::wstring& path) {
    path.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'%') {
            const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
            const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
            if (low < 0) {
                return false;
            }
            c = static_cast<wchar_t>(high * 16 + low);
            i += 2;
        }
        if (c == L'\0') {
            return false;
        }
        path += c;
    }
    return true;
}

// Whether the path names a key in one of the trees: its first component is one of the roots
// (ASCII letters in any case, as the registry compares them) and no component is empty.
bool InTrees(const std::wstring& path, std::span<const wchar_t* const> roots) {
    if (path.empty() || path.size() > kMaxKeyPathLength || path.back() == L'\\' ||
        path.find(L"\\\\") != std::wstring::npos) {
        return false;
    }
    const std::wstring first = path.substr(0, path.find(L'\\'));
    for (const std::wstring root : roots) {
        if (root.size() == first.size() &&
            std::equal(root.begin(), root.end(), first.begin(), [](wchar_t a, wchar_t b) {
                return a < 0x80 && b < 0x80 && std::towlower(a) == std::towlower(b);
            })) {
            return true;
        }
    }
    return false;
}

// Parses one entry line (with the key's full name from version 2 on) into `entry`; returns what
// is wrong with it, or an empty text.
[[nodiscard]] std::wstring ParseEntry(const std::wstring& line, bool named,
                                      std::span<const wchar_t* const> roots, UndoLine& entry) {
    const size_t tab = line.find(L'\t');
    const size_t nameEnd = named && tab != std::wstring::npos ? line.find(L'\t', tab + 1) : tab;
    if (tab == std::wstring::npos || nameEnd == std::wstring::npos ||
        line.find(L'\t', nameEnd + 1) != std::wstring::npos ||
        line.find_first_of(L"\r\n") != std::wstring::npos) {
        return named ? L"is not a key path, a tab, its full name, a tab and its security"
                     : L"is not a key path, a tab and its security";
    }
    if (!UnescapeUndoPath(line.substr(0, tab), entry.path)) {
        return L"has a badly escaped key path";
    }
    if (!InTrees(entry.path, roots)) {
        return L"names a key outside the repaired trees";
    }
    if (named && (!UnescapeUndoPath(line.substr(tab + 1, nameEnd - tab - 1), entry.fullName) ||
                  entry.fullName.rfind(L"\\REGISTRY\\", 0) != 0)) {
        return L"has a bad full key name";
    }
    const std::wstring security = line.substr(nameEnd + 1);
    if (security.rfind(kUnreadable, 0) != 0) {
        entry.sddl = security;
        return L"";
    }
    const std::wstring code = security.substr(std::size(kUnreadable) - 1);
    unsigned long long value = 0;
    for (wchar_t c : code) {
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (code.empty() || code.size() > 10 ||
        code.find_first_not_of(L"0123456789") != std::wstring::npos || value == 0 ||
        value > 0xFFFFFFFFull) {
        return L"has a bad error code";
    }
    entry.unreadable = static_cast<DWORD>(value);
    return L"";
}

} // namespace

std::wstring UndoPathFor(const std::wstring& logPath) {
    constexpr std::wstring_view kLog = L".log";
    if (logPath.size() < kLog.size() ||
        logPath.compare(logPath.size() - kLog.size(), kLog.size(), kLog) != 0) {
        return logPath.empty() ? logPath : logPath + L"_undo.txt";
    }
    return logPath.substr(0, logPath.size() - kLog.size()) + L"_undo.txt";
}

std::wstring UndoFileStart() {
    return std::wstring(1, L'\xFEFF') + kUndoHeader + L"\r\n";
}

std::wstring UndoEntryLine(const std::wstring& path, const std::wstring& fullName,
                           const std::wstring& sddl, DWORD unreadable) {
    return EscapeUndoPath(path) + L'\t' + EscapeUndoPath(fullName) + L'\t' +
           (unreadable == 0 ? sddl : kUnreadable + std::to_wstring(unreadable)) + L"\r\n";
}

UndoText ParseUndoText(std::string_view bytes, std::span<const wchar_t* const> roots) {
    UndoText undo;
    auto bad = [&undo](unsigned line, const wchar_t* reason) {
        undo.badLine = line;
        undo.reason = reason;
        return std::move(undo);
    };
    if (bytes.empty()) {
        return bad(1, L"is empty");
    }
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE) {
        return bad(1, L"is not UTF-16 text with a byte-order mark");
    }
    // What a crash can leave after the last whole line: part of a character, zeros, a line
    // without its end. The lines before it are whole: each was written in one piece.
    std::wstring text((bytes.size() - 2) / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i) { // little-endian units, whatever wchar_t's size
        const auto* unit = reinterpret_cast<const unsigned char*>(bytes.data()) + 2 + 2 * i;
        text[i] = static_cast<wchar_t>(unit[0] | unit[1] << 8);
    }
    bool torn = bytes.size() % 2 != 0;
    const size_t used = text.find_last_not_of(L'\0') + 1; // 0 when all are zeros
    torn |= used != text.size();
    text.resize(used);
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    torn |= start != text.size(); // a last line without its end
    if (lines.empty()) {
        return bad(1, L"is cut short");
    }
    const bool named = lines[0] == kUndoHeader;
    if (!named && lines[0] != kUndoHeaderVersion1) {
        return bad(1, L"is not the header of a version 1 or 2 undo file");
    }
    // Only the last group can hold what never reached the disk: a group is written only once the
    // one before it is there. In a version 1 file each line is a group; in a version 2 file an
    // empty line ends each group, and the last group is the one after the last end, if anything
    // follows it, or else the one that end closes.
    size_t lastGroup = torn ? lines.size() : lines.size() - 1;
    if (named) {
        std::vector<size_t> ends;
        for (size_t i = 1; i < lines.size(); ++i) {
            if (lines[i].empty()) {
                ends.push_back(i);
            }
        }
        const bool open = ends.empty() || torn || ends.back() + 1 < lines.size();
        const size_t closing = open ? ends.size() : ends.size() - 1; // ends before the last group
        lastGroup = closing == 0 ? 1 : ends[closing - 1] + 1;
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        const auto number = static_cast<unsigned>(i + 1);
        // Zeros inside a line of the last group: sectors of it that never reached the disk.
        if (lines[i].find(L'\0') != std::wstring::npos) {
            if (i >= lastGroup) {
                undo.tornLine = number;
                return undo;
            }
            return bad(number, L"holds a null character");
        }
        if (named && lines[i].empty()) {
            continue; // the end of a group
        }
        UndoLine entry;
        entry.number = number;
        const std::wstring reason = ParseEntry(lines[i], named, roots, entry);
        if (!reason.empty()) {
            return bad(number, reason.c_str());
        }
        undo.entries.push_back(std::move(entry));
    }
    if (torn) {
        undo.tornLine = static_cast<unsigned>(lines.size() + 1);
    }
    return undo;
}

} // namespace tkr
