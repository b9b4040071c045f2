// The product's side of the seam: each call goes straight to Windows or its runtime library.
#include "platform/win_api.h"

#include <conio.h>
#include <shlwapi.h>
#include <cwchar>

extern "C" LONG NTAPI NtQueryKey(HANDLE key, int informationClass, PVOID information, ULONG length,
                                 PULONG resultLength);

namespace win {

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    return ::RegOpenKeyExW(key, subKey, options, desired, result);
}
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved,
                         LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                         LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                         LPDWORD securityDescriptorLength, PFILETIME lastWriteTime) {
    return ::RegQueryInfoKeyW(key, className, classLength, reserved, subKeys, maxSubKeyLength,
                              maxClassLength, values, maxValueNameLength, maxValueLength,
                              securityDescriptorLength, lastWriteTime);
}
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                      LPWSTR className, LPDWORD classLength, PFILETIME lastWriteTime) {
    return ::RegEnumKeyExW(key, index, name, nameLength, reserved, className, classLength,
                           lastWriteTime);
}
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataLength) {
    return ::RegQueryValueExW(key, valueName, reserved, type, data, dataLength);
}
LSTATUS RegCloseKey(HKEY key) {
    return ::RegCloseKey(key);
}
LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD filter, HANDLE event,
                                BOOL asynchronous) {
    return ::RegNotifyChangeKeyValue(key, watchSubtree, filter, event, asynchronous);
}
LSTATUS RegGetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                          LPDWORD length) {
    return ::RegGetKeySecurity(key, info, descriptor, length);
}
LSTATUS RegSetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
    return ::RegSetKeySecurity(key, info, descriptor);
}
LONG NtQueryKey(HANDLE key, int informationClass, PVOID information, ULONG length,
                PULONG resultLength) {
    return ::NtQueryKey(key, informationClass, information, length, resultLength);
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount,
                              DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                              DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) {
    return ::AllocateAndInitializeSid(authority, subAuthorityCount, sub0, sub1, sub2, sub3, sub4,
                                      sub5, sub6, sub7, sid);
}
PVOID FreeSid(PSID sid) {
    return ::FreeSid(sid);
}
DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl) {
    return ::SetEntriesInAclW(count, entries, oldAcl, newAcl);
}
HANDLE GetCurrentProcess() {
    return ::GetCurrentProcess();
}
BOOL OpenProcessToken(HANDLE process, DWORD desired, PHANDLE token) {
    return ::OpenProcessToken(process, desired, token);
}
BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
    return ::LookupPrivilegeValueW(systemName, name, luid);
}
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                           DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                           PDWORD returnLength) {
    return ::AdjustTokenPrivileges(token, disableAll, newState, bufferLength, previousState,
                                   returnLength);
}
DWORD GetLastError() {
    return ::GetLastError();
}
HLOCAL LocalFree(HLOCAL memory) {
    return ::LocalFree(memory);
}
BOOL CloseHandle(HANDLE handle) {
    return ::CloseHandle(handle);
}
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
    return ::CreateEventW(security, manualReset, initialState, name);
}
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return ::WaitForSingleObject(handle, milliseconds);
}
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCWSTR name) {
    return ::CreateMutexW(security, initialOwner, name);
}
BOOL ReleaseMutex(HANDLE mutex) {
    return ::ReleaseMutex(mutex);
}
DWORD GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size) {
    return ::GetModuleFileNameW(module, name, size);
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD attributes, HANDLE templateFile) {
    return ::CreateFileW(name, access, share, security, disposition, attributes, templateFile);
}
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    return ::SetFilePointer(file, distance, distanceHigh, method);
}
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped) {
    return ::WriteFile(file, buffer, bytes, written, overlapped);
}
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped) {
    return ::ReadFile(file, buffer, bytes, read, overlapped);
}
BOOL FlushFileBuffers(HANDLE file) {
    return ::FlushFileBuffers(file);
}
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass,
                                  LPVOID information, DWORD size) {
    return ::GetFileInformationByHandleEx(file, infoClass, information, size);
}
BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security) {
    return ::CreateDirectoryW(name, security);
}
HANDLE GetStdHandle(DWORD which) {
    return ::GetStdHandle(which);
}
BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
    return ::GetConsoleMode(console, mode);
}
BOOL WriteConsoleW(HANDLE console, const void* text, DWORD length, LPDWORD written,
                   LPVOID reserved) {
    return ::WriteConsoleW(console, text, length, written, reserved);
}
int wprintf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = ::vwprintf(format, args);
    va_end(args);
    return written;
}
int fflush(FILE* stream) {
    return ::fflush(stream);
}
int fwprintf(FILE* stream, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = ::vfwprintf(stream, format, args);
    va_end(args);
    return written;
}
int _getch() {
    return ::_getch();
}
__time64_t _time64(__time64_t* time) {
    return ::_time64(time);
}
errno_t _localtime64_s(struct tm* result, const __time64_t* time) {
    return ::_localtime64_s(result, time);
}
size_t wcsftime(wchar_t* buffer, size_t size, const wchar_t* format, const struct tm* time) {
    return ::wcsftime(buffer, size, format, time);
}
int _vscwprintf(const wchar_t* format, va_list args) {
    return ::_vscwprintf(format, args);
}
} // namespace win
