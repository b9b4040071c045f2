// A deliberately faulty stand-in for typekey-repair.exe, to show that the self-test's checks catch
// real faults. It runs the real tool (typekey-repair-real.exe beside it) with its own command
// line, standard handles and exit status, and adds the fault TKR_STANDIN_FAULT names:
//   follows-links      after a repair, writes the repair's DACL through every registry link in
//                      the trees, to the key the link names
//   inexact-undo       after a restore, flips the protection of the first key of the undo file
//   no-take-ownership  runs the tool with a token that lacks the take-ownership privilege
#include "process.h"
#include "registry.h"

#include <windows.h>

#include <sddl.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

void WriteDacl(HKEY key, const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                             &descriptor, nullptr)) {
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        LocalFree(descriptor);
    }
}

// Walks a tree as itself, and writes through each link it meets, as a careless tool would.
void FollowLinks(HKEY parent, const std::wstring& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    if (RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, nullptr, nullptr, nullptr) ==
        ERROR_SUCCESS) {
        HKEY target = nullptr;
        if (RegOpenKeyExW(parent, name.c_str(), 0, WRITE_DAC, &target) == ERROR_SUCCESS) {
            WriteDacl(target, L"D:(A;CI;GR;;;WD)(A;CI;GA;;;BA)");
            RegCloseKey(target);
        }
    } else {
        for (const std::wstring& child : tkrtest::SubkeyNames(key)) {
            FollowLinks(key, child);
        }
    }
    RegCloseKey(key);
}

// The first entry of the undo file put back with its DACL's protection flipped.
void SpoilUndo(const std::wstring& undoFile) {
    std::wstring text;
    if (FILE* file = _wfopen(undoFile.c_str(), L"rb")) {
        wchar_t c;
        while (std::fread(&c, sizeof c, 1, file) == 1) {
            text.push_back(c);
        }
        std::fclose(file);
    }
    const size_t start = text.find(L"\r\n") + 2;
    const std::wstring line = text.substr(start, text.find(L"\r\n", start) - start);
    const size_t tab = line.find(L'\t');
    std::wstring dacl = line.substr(line.find(L"D:", tab));
    dacl = dacl.starts_with(L"D:P") ? L"D:" + dacl.substr(3) : L"D:P" + dacl.substr(2);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, line.substr(0, tab).c_str(), REG_OPTION_OPEN_LINK,
                      WRITE_DAC, &key) == ERROR_SUCCESS) {
        WriteDacl(key, dacl);
        RegCloseKey(key);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* set = _wgetenv(L"TKR_STANDIN_FAULT");
    const std::wstring fault = set ? set : L"";
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring real = self;
    real = real.substr(0, real.rfind(L'\\')) + L"\\typekey-repair-real.exe";
    std::wstring line = GetCommandLineW();

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const HANDLE token =
        fault == L"no-take-ownership" ? tkrtest::TokenWithoutTakeOwnership() : nullptr;
    const BOOL started =
        token ? CreateProcessAsUserW(token, real.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                     nullptr, nullptr, &startup, &process)
              : CreateProcessW(real.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &startup, &process);
    if (!started) {
        return 9;
    }
    DWORD exitCode = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (token) {
        CloseHandle(token);
    }

    std::vector<std::wstring> arguments(argv + 1, argv + argc);
    auto given = [&](const wchar_t* option) {
        for (const std::wstring& argument : arguments) {
            if (argument == option) {
                return true;
            }
        }
        return false;
    };
    if (fault == L"follows-links" && !given(L"-check") && !given(L"-undo") && !given(L"-?")) {
        for (const std::wstring& table : tkrtest::kTableKeys) {
            FollowLinks(HKEY_CLASSES_ROOT, table);
        }
    }
    if (fault == L"inexact-undo") {
        for (size_t i = 0; i + 1 < arguments.size(); ++i) {
            if (arguments[i] == L"-undo") {
                SpoilUndo(arguments[i + 1]);
            }
        }
    }
    return static_cast<int>(exitCode);
}
