#include "report/undo_file.h"

#include "platform/win_api.h"
#include "report/report.h"
#include "security/key_security.h"

namespace tkr {
namespace {

// Names an undo file may take when the first ones are taken.
constexpr unsigned kMaxUndoNames = 1000;

// Converts the entry's SDDL; returns what is wrong with it, or an empty text.
[[nodiscard]] const wchar_t* ConvertEntry(UndoLine& entry) {
    if (entry.unreadable != 0) {
        return L"";
    }
    UniqueDescriptor converted;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(entry.sddl.c_str(), SDDL_REVISION_1,
                                                                converted.put(), nullptr)) {
        return L"has a security descriptor that does not convert";
    }
    const auto* bytes = static_cast<const BYTE*>(converted.get());
    entry.descriptor.assign(bytes, bytes + ::GetSecurityDescriptorLength(converted.get()));
    // Both parts are restored, so both must be there, and nothing the tool never saves.
    const auto* relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(converted.get());
    if (relative->Owner == 0 || (relative->Control & SE_DACL_PRESENT) == 0 ||
        (relative->Control & SE_SELF_RELATIVE) == 0) {
        return L"has a security descriptor without owner or DACL";
    }
    if (relative->Group != 0 || (relative->Control & SE_SACL_PRESENT) != 0) {
        return L"has a security descriptor with parts the tool never saves";
    }
    return L"";
}

} // namespace

StagedEntry UndoWriter::Stage(const std::wstring& path, const std::wstring& fullName, DWORD read,
                              const Bytes& descriptor) {
    StagedEntry entry;
    std::wstring sddl;
    const DWORD status = read == ERROR_SUCCESS ? ToSddl(descriptor, sddl) : read;
    if (status == ERROR_FILE_NOT_FOUND) {
        return entry; // nothing to restore
    }
    entry.error = broken_;
    if (entry.error == ERROR_SUCCESS && !file_) {
        entry.error = Create(entry.notice);
    }
    if (entry.error != ERROR_SUCCESS) {
        ++notSaved_;
        entry.saved = Saved::NotWritten;
        return entry;
    }
    group_ += UndoEntryLine(path, fullName, sddl, status);
    ++staged_;
    entry.saved = status == ERROR_SUCCESS ? Saved::Restorable : Saved::Unreadable;
    return entry;
}

DWORD UndoWriter::Commit() {
    if (staged_ == 0) {
        return ERROR_SUCCESS;
    }
    group_ += L"\r\n"; // the group's end: what a restore may find torn lies after the one before
    const DWORD bytes = static_cast<DWORD>(group_.size() * sizeof(wchar_t));
    DWORD written = 0;
    // Written in one piece, then on the disk: every entry of the group is durable before any of
    // its keys changes, whatever then happens to the machine.
    if (win::WriteFile(file_.get(), group_.data(), bytes, &written, nullptr) && written == bytes &&
        win::FlushFileBuffers(file_.get())) {
        group_.clear();
        staged_ = 0;
        return ERROR_SUCCESS;
    }
    // A part of the group may be in the file: nothing more goes after it, so that a restore
    // still finds every group before it whole.
    broken_ = win::GetLastError();
    if (broken_ == ERROR_SUCCESS) {
        broken_ = ERROR_WRITE_FAULT;
    }
    notSaved_ += staged_;
    group_.clear();
    staged_ = 0;
    return broken_;
}

void UndoWriter::Report(const StagedEntry& entry) const {
    if (!entry.notice.empty()) {
        LogReport(log_, ReportLevel::Warning, L"%ls", entry.notice.c_str());
    }
    if (entry.saved == Saved::NotWritten) {
        LogReport(log_, ReportLevel::Warning,
                  L"\tPrevious owner and DACL not saved in the undo file. Error: %u",
                  static_cast<unsigned>(entry.error));
    }
}

DWORD UndoWriter::Create(std::wstring& notice) {
    constexpr std::wstring_view kSuffix = L".txt";
    const std::wstring stem = path_.substr(0, path_.size() - kSuffix.size());
    DWORD error = ERROR_SUCCESS;
    for (unsigned number = 1; number <= kMaxUndoNames; ++number) {
        const std::wstring name =
            number == 1 ? path_ : stem + L"_" + std::to_wstring(number) + std::wstring(kSuffix);
        error = CreateNewFile(name, file_);
        if (error == ERROR_SUCCESS) {
            if (number > 1) {
                notice = L"\tThe undo file \"" + path_ +
                         L"\" exists already; this run's undo file is \"" + name + L"\".";
            }
            group_ = UndoFileStart();
            return ERROR_SUCCESS;
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break; // the folder cannot take it: the next key tries again
        }
    }
    return error;
}

UndoText ReadUndoFile(const std::wstring& path, std::span<const wchar_t* const> roots) {
    UndoText read;
    read.badLine = 1;
    // Not shared with writers: a file still being written is not taken for a whole one.
    const UniqueFile file(win::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        read.reason = L"cannot be opened (error " + std::to_wstring(win::GetLastError()) + L")";
        return read;
    }
    std::string bytes;
    char buffer[65536];
    for (DWORD count = 1; count != 0; bytes.append(buffer, count)) {
        if (!win::ReadFile(file.get(), buffer, sizeof buffer, &count, nullptr)) {
            read.reason = L"cannot be read (error " + std::to_wstring(win::GetLastError()) + L")";
            return read;
        }
    }
    read = ParseUndoText(bytes, roots);
    // The lines before a bad one are whole; the first whose SDDL does not do is the first bad.
    for (size_t i = 0; i < read.entries.size(); ++i) {
        if (const std::wstring reason = ConvertEntry(read.entries[i]); !reason.empty()) {
            read.badLine = read.entries[i].number;
            read.reason = reason;
            read.entries.resize(i);
            break;
        }
    }
    return read;
}

} // namespace tkr
