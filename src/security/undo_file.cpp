#include "security/undo_file.h"

#include "platform/win_api.h"
#include "report/report.h"
#include "security/key_security.h"
#include "security/privilege.h"

#include <cwctype>

namespace tkr {
namespace {

constexpr SECURITY_INFORMATION kOwnerAndDacl =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
// The group too: the repair's DACL stands for CREATOR GROUP by it.
constexpr SECURITY_INFORMATION kSavedParts = kOwnerAndDacl | GROUP_SECURITY_INFORMATION;
constexpr wchar_t kUnreadable[] = L"unreadable ";
constexpr wchar_t kHex[] = L"0123456789ABCDEF";
// Names an undo file may take when the first ones are taken.
constexpr unsigned kMaxUndoNames = 1000;

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

// A key whose DACL denies even reading it may still be read for a backup.
DWORD ReadUnderBackupPrivilege(const TreeKey& tree, Bytes& descriptor) {
    const ScopedPrivilege backup(L"SeBackupPrivilege"); // without it the open below is denied
    UniqueKey key;
    const DWORD status = tree.Open(READ_CONTROL, key, REG_OPTION_BACKUP_RESTORE);
    return status == ERROR_SUCCESS ? ReadKeySecurity(key.get(), kSavedParts, descriptor) : status;
}

DWORD ToSddl(const Bytes& descriptor, std::wstring& sddl) {
    UniqueLocalText text;
    if (!win::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            const_cast<BYTE*>(descriptor.data()), SDDL_REVISION_1, kOwnerAndDacl, text.put(),
            nullptr)) {
        return win::GetLastError();
    }
    sddl = text.get();
    return ERROR_SUCCESS;
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
std::wstring ParseEntry(const std::wstring& line, std::span<const wchar_t* const> roots,
                        UndoEntry& entry) {
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
    if (security.rfind(kUnreadable, 0) == 0) {
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
    if (!win::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            security.c_str(), SDDL_REVISION_1, entry.descriptor.put(), nullptr)) {
        return L"has a security descriptor that does not convert";
    }
    // Both parts are restored, so both must be there, and nothing the tool never saves.
    const auto* relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(entry.descriptor.get());
    if (relative->Owner == 0 || (relative->Control & SE_DACL_PRESENT) == 0 ||
        (relative->Control & SE_SELF_RELATIVE) == 0) {
        return L"has a security descriptor without owner or DACL";
    }
    if (relative->Group != 0 || (relative->Control & SE_SACL_PRESENT) != 0) {
        return L"has a security descriptor with parts the tool never saves";
    }
    entry.sddl = security;
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

bool UnescapeUndoPath(const std::wstring& text, std::wstring& path) {
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

DWORD ReadTreeKeySecurity(const TreeKey& key, Bytes& descriptor) {
    const DWORD status = key.With(READ_CONTROL, [&descriptor](HKEY handle) {
        return ReadKeySecurity(handle, kSavedParts, descriptor);
    });
    if (status != ERROR_ACCESS_DENIED ||
        ReadUnderBackupPrivilege(key, descriptor) != ERROR_SUCCESS) {
        return status;
    }
    return ERROR_SUCCESS;
}

DWORD ReadKeySddl(const TreeKey& key, std::wstring& sddl) {
    Bytes descriptor;
    const DWORD status = ReadTreeKeySecurity(key, descriptor);
    return status == ERROR_SUCCESS ? ToSddl(descriptor, sddl) : status;
}

UndoWriter::~UndoWriter() {
    if (file_) {
        win::FlushFileBuffers(file_.get()); // on the disk before the run reports it is done
    }
}

void UndoWriter::Save(const std::wstring& path, DWORD read, const Bytes& descriptor) {
    std::wstring sddl;
    const DWORD status = read == ERROR_SUCCESS ? ToSddl(descriptor, sddl) : read;
    if (status == ERROR_FILE_NOT_FOUND) {
        return; // nothing to restore
    }
    DWORD error = broken_;
    if (error == ERROR_SUCCESS && !file_) {
        error = Create();
    }
    if (error == ERROR_SUCCESS) {
        // One write per entry: the entry is whole in the file before the key's security changes.
        error = Write(EscapeUndoPath(path) + L'\t' +
                      (status == ERROR_SUCCESS ? sddl : kUnreadable + std::to_wstring(status)) +
                      L"\r\n");
    }
    if (error != ERROR_SUCCESS) {
        ++notSaved_;
        LogReport(log_, ReportLevel::Warning,
                  L"\tPrevious owner and DACL not saved in the undo file. Error: %u",
                  static_cast<unsigned>(error));
    }
}

DWORD UndoWriter::Create() {
    constexpr std::wstring_view kSuffix = L".txt";
    const std::wstring stem = path_.substr(0, path_.size() - kSuffix.size());
    DWORD error = ERROR_SUCCESS;
    for (unsigned number = 1; number <= kMaxUndoNames; ++number) {
        const std::wstring name =
            number == 1 ? path_ : stem + L"_" + std::to_wstring(number) + std::wstring(kSuffix);
        file_ = CreateNewFile(name, error);
        if (file_) {
            if (number > 1) {
                LogReport(log_, ReportLevel::Warning,
                          L"\tThe undo file \"%ls\" exists already; this run's undo file is "
                          L"\"%ls\".",
                          path_.c_str(), name.c_str());
            }
            return Write(std::wstring(1, L'\xFEFF') + kUndoHeader + L"\r\n");
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break; // the folder cannot take it: the next key tries again
        }
    }
    return error;
}

DWORD UndoWriter::Write(const std::wstring& text) {
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    if (win::WriteFile(file_.get(), text.data(), bytes, &written, nullptr) && written == bytes) {
        return ERROR_SUCCESS;
    }
    // A part of the text may be in the file: nothing more goes after it, so that a restore
    // still finds every entry before it whole.
    broken_ = win::GetLastError();
    if (broken_ == ERROR_SUCCESS) {
        broken_ = ERROR_WRITE_FAULT;
    }
    return broken_;
}

bool ReadUndoFile(const std::wstring& path, std::span<const wchar_t* const> roots, UndoFile& undo,
                  unsigned& badLine, std::wstring& reason) {
    badLine = 1;
    // Not shared with writers: a file still being written is not taken for a whole one.
    const UniqueFile file(win::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        reason = L"cannot be opened (error " + std::to_wstring(win::GetLastError()) + L")";
        return false;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!win::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
            reason = L"cannot be read (error " + std::to_wstring(win::GetLastError()) + L")";
            return false;
        }
        if (read == 0) {
            break;
        }
        bytes.append(buffer, read);
    }
    if (bytes.empty()) {
        reason = L"is empty";
        return false;
    }
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE) {
        reason = L"is not UTF-16 text with a byte-order mark";
        return false;
    }
    // What a crash can leave after the last whole line: part of a character, zeros, a line
    // without its end. The lines before it are whole: each was written in one piece.
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2),
                      (bytes.size() - 2) / sizeof(wchar_t));
    bool torn = bytes.size() % 2 != 0;
    const size_t used = text.find_last_not_of(L'\0') + 1; // 0 when all are zeros
    torn |= used != text.size();
    text.resize(used);
    undo = UndoFile{};
    size_t start = 0;
    for (unsigned number = 1;; ++number) {
        badLine = number;
        const size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            torn |= start != text.size();
            if (torn && number > 1) {
                undo.tornLine = number;
            }
            if (number > 1) {
                return true;
            }
            reason = L"is cut short";
            return false;
        }
        const std::wstring line = text.substr(start, end - start);
        start = end + 2;
        if (number == 1) {
            if (line != kUndoHeader) {
                reason = L"is not the header of a version 1 undo file";
                return false;
            }
            continue;
        }
        UndoEntry entry;
        reason = ParseEntry(line, roots, entry);
        if (!reason.empty()) {
            return false;
        }
        undo.entries.push_back(std::move(entry));
    }
}

} // namespace tkr
