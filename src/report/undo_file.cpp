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
        error = Write(UndoEntryLine(path, sddl, status));
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
        error = CreateNewFile(name, file_);
        if (error == ERROR_SUCCESS) {
            if (number > 1) {
                LogReport(log_, ReportLevel::Warning,
                          L"\tThe undo file \"%ls\" exists already; this run's undo file is "
                          L"\"%ls\".",
                          path_.c_str(), name.c_str());
            }
            return Write(UndoFileStart());
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
    // Written, then on the disk: an entry is durable before its key changes, whatever then
    // happens to the machine.
    if (win::WriteFile(file_.get(), text.data(), bytes, &written, nullptr) && written == bytes &&
        win::FlushFileBuffers(file_.get())) {
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
