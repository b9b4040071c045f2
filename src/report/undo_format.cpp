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

// False when the text is no escaped path (a "%" without two hex digits, or a null).
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

// Parses one entry line into `entry`; returns what is wrong with it, or an empty text.
[[nodiscard]] std::wstring ParseEntry(const std::wstring& line,
                                      std::span<const wchar_t* const> roots, UndoLine& entry) {
    const size_t tab = line.find(L'\t');
    if (tab == std::wstring::npos || line.find(L'\t', tab + 1) != std::wstring::npos ||
        line.find_first_of(L"\r\n") != std::wstring::npos) {
        return L"is not a key path, a tab and its security";
    }
    if (!UnescapeUndoPath(line.substr(0, tab), entry.path)) {
        return L"has a badly escaped key path";
    }
    if (!InTrees(entry.path, roots)) {
        return L"names a key outside the repaired trees";
    }
    const std::wstring security = line.substr(tab + 1);
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

std::wstring UndoEntryLine(const std::wstring& path, const std::wstring& sddl, DWORD unreadable) {
    return EscapeUndoPath(path) + L'\t' +
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
    size_t start = 0;
    for (unsigned number = 1;; ++number) {
        const size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            if (number == 1) {
                return bad(1, L"is cut short");
            }
            if (torn || start != text.size()) {
                undo.tornLine = number;
            }
            return undo;
        }
        const std::wstring line = text.substr(start, end - start);
        start = end + 2;
        if (number == 1) {
            if (line != kUndoHeader) {
                return bad(1, L"is not the header of a version 1 undo file");
            }
            continue;
        }
        UndoLine entry;
        entry.number = number;
        const std::wstring reason = ParseEntry(line, roots, entry);
        if (!reason.empty()) {
            return bad(number, reason.c_str());
        }
        undo.entries.push_back(std::move(entry));
    }
}

} // namespace tkr
