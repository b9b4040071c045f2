// The seam between the tool and Windows: every Windows and runtime call the tool makes whose
// outcome depends on the machine, each a pointer typed by Windows' own declaration and named as
// Windows names it. The product's (win_api_real.cpp) point at Windows' functions; unit tests
// link a scripted fake's instead. The calls that only compute (conversions of texts and
// descriptors) are made directly: they behave the same wherever they run.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <conio.h>
#include <cstdio>
#include <ctime>
#include <cwchar>

// The native call, for KeyNameInformation (3): the full name of the key a handle refers to.
extern "C" LONG NTAPI NtQueryKey(HANDLE key, int informationClass, PVOID information, ULONG length,
                                 PULONG resultLength);
// The native call that deletes the key a handle holds: a link key as itself, which RegDeleteKey
// would not promise.
extern "C" LONG NTAPI NtDeleteKey(HANDLE key);

namespace win {

// Registry
extern decltype(&::RegOpenKeyExW) const RegOpenKeyExW;
extern decltype(&::RegQueryInfoKeyW) const RegQueryInfoKeyW;
extern decltype(&::RegEnumKeyExW) const RegEnumKeyExW;
extern decltype(&::RegQueryValueExW) const RegQueryValueExW;
extern decltype(&::RegCloseKey) const RegCloseKey;
extern decltype(&::RegNotifyChangeKeyValue) const RegNotifyChangeKeyValue;
extern decltype(&::RegGetKeySecurity) const RegGetKeySecurity;
extern decltype(&::RegSetKeySecurity) const RegSetKeySecurity;
extern decltype(&::NtQueryKey) const NtQueryKey;
// (The self-test's own: it makes and removes keys, and asks Windows to propagate a DACL.)
extern decltype(&::RegCreateKeyExW) const RegCreateKeyExW;
extern decltype(&::RegSetValueExW) const RegSetValueExW;
extern decltype(&::NtDeleteKey) const NtDeleteKey;
extern decltype(&::SetSecurityInfo) const SetSecurityInfo;

// Security and process
extern decltype(&::AllocateAndInitializeSid) const AllocateAndInitializeSid;
extern decltype(&::FreeSid) const FreeSid;
extern decltype(&::SetEntriesInAclW) const SetEntriesInAclW;
extern decltype(&::GetCurrentProcess) const GetCurrentProcess;
extern decltype(&::OpenProcessToken) const OpenProcessToken;
extern decltype(&::LookupPrivilegeValueW) const LookupPrivilegeValueW;
extern decltype(&::AdjustTokenPrivileges) const AdjustTokenPrivileges;
extern decltype(&::GetTokenInformation) const GetTokenInformation;
extern decltype(&::GetLastError) const GetLastError;
extern decltype(&::LocalFree) const LocalFree;
extern decltype(&::CloseHandle) const CloseHandle;
extern decltype(&::CreateEventW) const CreateEventW;
extern decltype(&::WaitForSingleObject) const WaitForSingleObject;
extern decltype(&::CreateMutexW) const CreateMutexW;
extern decltype(&::ReleaseMutex) const ReleaseMutex;
extern decltype(&::GetModuleFileNameW) const GetModuleFileNameW;

// Files
extern decltype(&::CreateFileW) const CreateFileW;
extern decltype(&::SetFilePointer) const SetFilePointer;
extern decltype(&::WriteFile) const WriteFile;
extern decltype(&::ReadFile) const ReadFile;
extern decltype(&::FlushFileBuffers) const FlushFileBuffers;
extern decltype(&::GetFileInformationByHandleEx) const GetFileInformationByHandleEx;
extern decltype(&::CreateDirectoryW) const CreateDirectoryW;

// Console
extern decltype(&::GetStdHandle) const GetStdHandle;
extern decltype(&::GetConsoleMode) const GetConsoleMode;
extern decltype(&::WriteConsoleW) const WriteConsoleW;

// Runtime library
extern decltype(&::wprintf) const wprintf;
extern decltype(&::fflush) const fflush;
extern decltype(&::fwprintf) const fwprintf;
extern decltype(&::_getch) const _getch;
extern decltype(&::_time64) const _time64;
extern decltype(&::_localtime64_s) const _localtime64_s;
extern decltype(&::wcsftime) const wcsftime;
extern decltype(&::_vscwprintf) const _vscwprintf;

} // namespace win
