// The product's side of the seam: each call goes straight to Windows or its runtime library.
#include "platform/win_api.h"

namespace win {

decltype(&::RegOpenKeyExW) const RegOpenKeyExW = ::RegOpenKeyExW;
decltype(&::RegQueryInfoKeyW) const RegQueryInfoKeyW = ::RegQueryInfoKeyW;
decltype(&::RegEnumKeyExW) const RegEnumKeyExW = ::RegEnumKeyExW;
decltype(&::RegQueryValueExW) const RegQueryValueExW = ::RegQueryValueExW;
decltype(&::RegCloseKey) const RegCloseKey = ::RegCloseKey;
decltype(&::RegNotifyChangeKeyValue) const RegNotifyChangeKeyValue = ::RegNotifyChangeKeyValue;
decltype(&::RegGetKeySecurity) const RegGetKeySecurity = ::RegGetKeySecurity;
decltype(&::RegSetKeySecurity) const RegSetKeySecurity = ::RegSetKeySecurity;
decltype(&::NtQueryKey) const NtQueryKey = ::NtQueryKey;
decltype(&::RegCreateKeyExW) const RegCreateKeyExW = ::RegCreateKeyExW;
decltype(&::RegSetValueExW) const RegSetValueExW = ::RegSetValueExW;
decltype(&::NtDeleteKey) const NtDeleteKey = ::NtDeleteKey;
decltype(&::SetSecurityInfo) const SetSecurityInfo = ::SetSecurityInfo;

decltype(&::AllocateAndInitializeSid) const AllocateAndInitializeSid = ::AllocateAndInitializeSid;
decltype(&::FreeSid) const FreeSid = ::FreeSid;
decltype(&::SetEntriesInAclW) const SetEntriesInAclW = ::SetEntriesInAclW;
decltype(&::GetCurrentProcess) const GetCurrentProcess = ::GetCurrentProcess;
decltype(&::OpenProcessToken) const OpenProcessToken = ::OpenProcessToken;
decltype(&::LookupPrivilegeValueW) const LookupPrivilegeValueW = ::LookupPrivilegeValueW;
decltype(&::AdjustTokenPrivileges) const AdjustTokenPrivileges = ::AdjustTokenPrivileges;
decltype(&::GetTokenInformation) const GetTokenInformation = ::GetTokenInformation;
decltype(&::GetLastError) const GetLastError = ::GetLastError;
decltype(&::LocalFree) const LocalFree = ::LocalFree;
decltype(&::CloseHandle) const CloseHandle = ::CloseHandle;
decltype(&::CreateEventW) const CreateEventW = ::CreateEventW;
decltype(&::WaitForSingleObject) const WaitForSingleObject = ::WaitForSingleObject;
decltype(&::CreateMutexW) const CreateMutexW = ::CreateMutexW;
decltype(&::ReleaseMutex) const ReleaseMutex = ::ReleaseMutex;
decltype(&::GetModuleFileNameW) const GetModuleFileNameW = ::GetModuleFileNameW;

decltype(&::CreateFileW) const CreateFileW = ::CreateFileW;
decltype(&::SetFilePointer) const SetFilePointer = ::SetFilePointer;
decltype(&::WriteFile) const WriteFile = ::WriteFile;
decltype(&::ReadFile) const ReadFile = ::ReadFile;
decltype(&::FlushFileBuffers) const FlushFileBuffers = ::FlushFileBuffers;
decltype(&::GetFileInformationByHandleEx) const GetFileInformationByHandleEx =
    ::GetFileInformationByHandleEx;
decltype(&::CreateDirectoryW) const CreateDirectoryW = ::CreateDirectoryW;

decltype(&::GetStdHandle) const GetStdHandle = ::GetStdHandle;
decltype(&::GetConsoleMode) const GetConsoleMode = ::GetConsoleMode;
decltype(&::WriteConsoleW) const WriteConsoleW = ::WriteConsoleW;

decltype(&::wprintf) const wprintf = ::wprintf;
decltype(&::fflush) const fflush = ::fflush;
decltype(&::fwprintf) const fwprintf = ::fwprintf;
decltype(&::_getch) const _getch = ::_getch;
decltype(&::_time64) const _time64 = ::_time64;
decltype(&::_localtime64_s) const _localtime64_s = ::_localtime64_s;
decltype(&::wcsftime) const wcsftime = ::wcsftime;
decltype(&::_vscwprintf) const _vscwprintf = ::_vscwprintf;

} // namespace win
