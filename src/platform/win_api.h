// The seam between the tool and Windows: every Windows and runtime call the tool makes whose
// outcome depends on the machine, named and typed as Windows names and types it. The product
// links win_api_real.cpp, which forwards each call; unit tests link a scripted fake instead. The
// calls that only compute (conversions of texts and descriptors) are made directly: they behave
// the same wherever they run.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace win {

// Registry
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved,
                         LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                         LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                         LPDWORD securityDescriptorLength, PFILETIME lastWriteTime);
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPWSTR className, LPDWORD classLength, PFILETIME lastWriteTime);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataLength);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD filter, HANDLE event,
                                BOOL asynchronous);
LSTATUS RegGetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                          LPDWORD length);
LSTATUS RegSetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor);
// The native call, for KeyNameInformation (3): the full name of the key a handle refers to.
LONG NtQueryKey(HANDLE key, int informationClass, PVOID information, ULONG length,
                PULONG resultLength);

// Security and process
BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount,
                              DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                              DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid);
PVOID FreeSid(PSID sid);
DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD desired, PHANDLE token);
BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                           DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                           PDWORD returnLength);
DWORD GetLastError();
HLOCAL LocalFree(HLOCAL memory);
BOOL CloseHandle(HANDLE handle);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size);

// Files and paths
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD attributes, HANDLE templateFile);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass,
                                  LPVOID information, DWORD size);
BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security);

// Console
HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL WriteConsoleW(HANDLE console, const void* text, DWORD length, LPDWORD written,
                   LPVOID reserved);

// Runtime library
int wprintf(const wchar_t* format, ...);
int fflush(FILE* stream);
int fwprintf(FILE* stream, const wchar_t* format, ...);
int _getch();
__time64_t _time64(__time64_t* time);
errno_t _localtime64_s(struct tm* result, const __time64_t* time);
size_t wcsftime(wchar_t* buffer, size_t size, const wchar_t* format, const struct tm* time);
int _vscwprintf(const wchar_t* format, va_list args);

} // namespace win
