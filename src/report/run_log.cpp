#include "report/run_log.h"

#include "platform/win_api.h"
#include "report/report.h"

#include <shlwapi.h>

#include <cwchar>

namespace tkr {
namespace {

// A reparse point or a file with other names is not the plain file the name promised.
[[nodiscard]] DWORD CheckPlainFile(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!win::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        !win::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
        return win::GetLastError();
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || standard.NumberOfLinks > 1 ||
        standard.Directory) {
        return ERROR_CANT_ACCESS_FILE;
    }
    return ERROR_SUCCESS;
}

// Creates each missing folder of the path in turn, with kAdministratorsFolderSddl; what cannot be
// created shows when the log is written.
void CreateFolders(const std::wstring& folder) {
    UniqueDescriptor descriptor;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        kAdministratorsFolderSddl, SDDL_REVISION_1, descriptor.put(), nullptr);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
    for (size_t at = folder.find_first_of(L"\\/", 1);; at = folder.find_first_of(L"\\/", at + 1)) {
        win::CreateDirectoryW(folder.substr(0, at).c_str(), descriptor ? &security : nullptr);
        if (at == std::wstring::npos) {
            break;
        }
    }
}

// Opens or creates the file for writing, sharing it with readers only. The reparse point itself
// is opened, never what it points at, so that the check sees it; a file that is no plain file
// counts as one that cannot be opened.
[[nodiscard]] DWORD OpenPlainFile(const std::wstring& path, DWORD disposition, UniqueFile& file) {
    file = UniqueFile(
        win::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const DWORD error = file ? CheckPlainFile(file.get()) : win::GetLastError();
    if (error != ERROR_SUCCESS) {
        file.reset();
    }
    return error;
}

} // namespace

DWORD CreateNewFile(const std::wstring& path, UniqueFile& file) {
    return OpenPlainFile(path, CREATE_NEW, file);
}

void RunLog::AppendLogLine(const std::wstring& text, ReportLevel level) const {
    if (text.empty()) {
        return;
    }
    constexpr const wchar_t* kLabels[] = {L"Message", L"Warning", L"!ERROR!"};
    const std::wstring line = kLabels[static_cast<int>(level) - 1] + (L": " + text + L"\r\n");
    // Opened and closed for every line, so each line is complete in the file once written and
    // no other writer can interleave within it.
    UniqueFile file;
    if (OpenPlainFile(path_, OPEN_ALWAYS, file) != ERROR_SUCCESS) {
        return; // a line that cannot be written is dropped
    }
    LONG high = 0;
    win::SetFilePointer(file.get(), 0, &high, FILE_END);
    DWORD written = 0;
    win::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)),
                   &written, nullptr);
}

void RunLog::InitRunLogPath(const wchar_t* programPath, const std::wstring& logFolder) {
    if (programPath == nullptr) {
        return; // no program path, no log
    }
    std::wstring path(programPath);
    ::PathRemoveExtensionW(path.data());
    path.resize(wcslen(path.c_str()));
    if (path.empty()) {
        return;
    }
    if (!logFolder.empty()) {
        CreateFolders(logFolder);
        const size_t slash = path.find_last_of(L"\\/");
        const wchar_t last = logFolder.back();
        path = logFolder + (last == L'\\' || last == L'/' ? L"" : L"\\") +
               path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    }
    const __time64_t now = win::_time64(nullptr);
    path_ = path + FormatLogSuffix(now);
}

std::wstring ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            win::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return L"";
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2); // cut short: try again with room to spare
    }
}

std::wstring FormatLogSuffix(__time64_t time) {
    struct tm local {};
    if (win::_localtime64_s(&local, &time) != 0) {
        throw FatalError{L"The start time could not be converted to local time."};
    }
    wchar_t buffer[128];
    const size_t length = win::wcsftime(buffer, 128, L"_%y%m%d_%H%M%S.log", &local);
    return std::wstring(buffer, length);
}

} // namespace tkr
