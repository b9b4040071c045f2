#include "selftest/verdict.h"

#include <bcrypt.h>

#include <vector>

namespace tkr::selftest {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                          nullptr, nullptr);
    return utf8;
}

DWORD Report::Create(const std::wstring& path) {
    file_ = UniqueFile(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_ ? ERROR_SUCCESS : ::GetLastError();
}

void Report::Line(const std::wstring& text) {
    console_.WriteOutputLine(text);
    if (file_) {
        const std::string line = Utf8(text) + "\r\n";
        DWORD written = 0;
        ::WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
}

void Report::Check(const std::wstring& name, const Outcome& outcome) {
    switch (outcome.kind) {
    case Outcome::Pass:
        ++passed_;
        Line(L"PASS: " + name);
        break;
    case Outcome::Fail:
        ++failed_;
        Line(L"FAIL: " + name + L": " + outcome.text);
        break;
    case Outcome::NotShown:
        ++notShown_;
        Line(L"NOT SHOWN: " + name + L": " + outcome.text);
        break;
    }
}

void Report::Verdict(const std::wstring& system, const std::wstring& tool) {
    End(std::to_wstring(passed_) + L" passed, " + std::to_wstring(failed_) + L" failed, " +
        std::to_wstring(notShown_) + L" not shown; " + system + L"; " + tool);
}

void Report::NothingTested(const std::wstring& system, const std::wstring& tool) {
    End(L"nothing was tested; " + system + L"; " + tool);
}

void Report::End(const std::wstring& verdict) {
    Line(L"Self-test: " + verdict);
    if (file_) {
        (void)::FlushFileBuffers(file_.get());
    }
}

std::wstring SystemDescription() {
    // GetVersionEx answers as the program's manifest lets it; the kernel's own answer is exact.
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto getVersion = reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    std::wstring text = L"Windows (version unknown)";
    if (getVersion && getVersion(&version) == 0) {
        text = L"Windows " + std::to_wstring(version.dwMajorVersion) + L"." +
               std::to_wstring(version.dwMinorVersion) + L" build " +
               std::to_wstring(version.dwBuildNumber);
    }
    BOOL wow64 = FALSE;
    const bool is64 =
        sizeof(void*) == 8 || (::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64);
    return text + (is64 ? L", 64-bit" : L", 32-bit");
}

namespace {

struct AlgorithmTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type Empty() { return nullptr; }
    static void Close(Type handle) { ::BCryptCloseAlgorithmProvider(handle, 0); }
};
struct HashTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type Empty() { return nullptr; }
    static void Close(Type handle) { ::BCryptDestroyHash(handle); }
};

} // namespace

std::wstring Sha256(const std::vector<BYTE>& bytes) {
    Unique<AlgorithmTraits> algorithm;
    Unique<HashTraits> hash;
    BYTE digest[32];
    NTSTATUS status =
        ::BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    status = status == 0
                 ? ::BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0)
                 : status;
    status = status == 0 ? ::BCryptHashData(hash.get(), const_cast<BYTE*>(bytes.data()),
                                            static_cast<ULONG>(bytes.size()), 0)
                         : status;
    status = status == 0 ? ::BCryptFinishHash(hash.get(), digest, sizeof digest, 0) : status;
    if (status != 0) {
        return L"unknown (status " + std::to_wstring(status) + L")";
    }
    std::wstring hex;
    for (BYTE byte : digest) {
        constexpr wchar_t kDigits[] = L"0123456789abcdef";
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

} // namespace tkr::selftest
