// Calls of the seam that only compute (conversions of texts and descriptors): they behave the
// same wherever they run, so the product and the unit tests share these forwarders.
#include "platform/win_api.h"

#include <shlwapi.h>

#include <cstdlib>
#include <cwchar>

namespace win {

BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR descriptor,
                                                          DWORD revision, SECURITY_INFORMATION info,
                                                          LPWSTR* text, PULONG length) {
    return ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, revision, info, text,
                                                                  length);
}
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG length) {
    return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, revision, descriptor,
                                                                  length);
}
void PathRemoveExtensionW(LPWSTR path) {
    ::PathRemoveExtensionW(path);
}
int wctomb(char* bytes, wchar_t character) {
    return ::wctomb(bytes, character);
}
int vswprintf_s(wchar_t* buffer, size_t size, const wchar_t* format, va_list args) {
    return ::vswprintf_s(buffer, size, format, args);
}

} // namespace win
