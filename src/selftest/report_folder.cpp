#include "selftest/report_folder.h"

#include "report/run_log.h"
#include "selftest/registry_state.h"

#include <sddl.h>
#include <winternl.h>

#include <ctime>
#include <cwchar>

namespace tkr::selftest {
namespace {

// Creates the folder and opens it in one call, so that the handle is to the folder made and to no
// other (a junction put in its place, say): held without delete sharing, it is never renamed.
DWORD CreateHeld(const std::wstring& folder, SECURITY_DESCRIPTOR* security, UniqueFile& held) {
    std::wstring native =
        folder.starts_with(L"\\\\") ? L"\\??\\UNC" + folder.substr(1) : L"\\??\\" + folder;
    UNICODE_STRING name{static_cast<USHORT>(native.size() * sizeof(wchar_t)),
                        static_cast<USHORT>(native.size() * sizeof(wchar_t)), native.data()};
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityDescriptor = security;
    IO_STATUS_BLOCK io{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS status = ::NtCreateFile(
        &handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &io, nullptr,
        FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, nullptr,
        0);
    if (status < 0) {
        return ::RtlNtStatusToDosError(status);
    }
    held = UniqueFile(handle);
    return ERROR_SUCCESS;
}

} // namespace

DWORD ReportFolder::Create(const std::wstring& beside) {
    const __time64_t now = _time64(nullptr);
    struct tm local {};
    wchar_t stamp[32] = L"";
    if (_localtime64_s(&local, &now) == 0) {
        wcsftime(stamp, 32, L"_%y%m%d_%H%M%S", &local);
    }
    UniqueDescriptor descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            (std::wstring(L"O:BA") + kAdministratorsFolderSddl).c_str(), SDDL_REVISION_1,
            descriptor.put(), nullptr)) {
        return ::GetLastError();
    }
    const std::wstring base = Join(beside, L"typekey-repair-selftest") + stamp;
    DWORD error = ERROR_ALREADY_EXISTS;
    for (unsigned n = 1; n < 100 && error == ERROR_ALREADY_EXISTS; ++n) {
        const std::wstring folder = n == 1 ? base : base + L"_" + std::to_wstring(n);
        error = CreateHeld(folder, static_cast<SECURITY_DESCRIPTOR*>(descriptor.get()), held_);
        if (error == ERROR_SUCCESS) {
            path_ = folder;
        }
    }
    return error;
}

DWORD ReportFolder::Write(const std::wstring& name, const std::vector<BYTE>& bytes) const {
    const UniqueFile file(::CreateFileW(Join(path_, name).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr)) {
        return ::GetLastError();
    }
    return written == bytes.size() ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

void ReportFolder::Discard(const std::wstring& name) {
    if (path_.empty()) {
        return;
    }
    held_.reset();
    ::DeleteFileW(Join(path_, name).c_str());
    ::RemoveDirectoryW(path_.c_str());
}

DWORD ReadWholeFile(const std::wstring& path, std::vector<BYTE>& bytes) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size)) {
        return ::GetLastError();
    }
    if (size.QuadPart > 256 << 20) {
        return ERROR_FILE_TOO_LARGE;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return ::GetLastError();
    }
    return read == bytes.size() ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
}

} // namespace tkr::selftest
