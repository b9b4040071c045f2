// A deliberately faulty stand-in for typekey-repair.exe, to show that the self-test's checks catch
// real faults. It runs the real tool (the exe TKR_STANDIN_REAL names) with its own command
// line, passes on its output and exit status, and adds the fault TKR_STANDIN_FAULT names:
//   follows-links      after a repair, writes the repair's DACL through every registry link in
//                      the trees, to the key the link names
//   inexact-undo       after a restore, flips the protection of the first key of the undo file
//   no-take-ownership  runs the tool with a token that lacks the take-ownership privilege
//   check-walks-nothing  a -check that prints nothing and exits 0, without running the tool
//   undo-without-locked  after a repair, takes the keys that lock administrators out from the
//                        undo file
//   write-outside      after a repair, writes a DACL to the self-test's twin, outside the trees
//   check-writes       after a -check, writes the repair's DACL to a seeded key
//   inherited-as-explicit  after a repair, writes a seeded key's inherited entries as its own
#include "files.h"
#include "process.h"
#include "registry.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

// Walks a tree as itself, and writes through each link it meets (by its name, which follows
// it), as a careless tool would.
void FollowLinks(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    if (RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, nullptr, nullptr, nullptr) ==
        ERROR_SUCCESS) {
        tkrtest::SeedKey(path, L"D:(A;CI;GR;;;WD)(A;CI;GA;;;BA)");
    } else {
        for (const std::wstring& child : tkrtest::SubkeyNames(key)) {
            FollowLinks(path + L"\\" + child);
        }
    }
    RegCloseKey(key);
}

// The first entry of the undo file put back with its DACL's protection flipped.
void SpoilUndo(const std::wstring& undoFile) {
    const std::string bytes = tkrtest::ReadBytes(undoFile);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    const size_t start = text.find(L"\r\n") + 2;
    const std::wstring line = text.substr(start, text.find(L"\r\n", start) - start);
    const size_t tab = line.rfind(L'\t'); // the path, the key's full name, then its security
    const size_t dacl = line.find(L"D:", tab);
    std::wstring sddl = line.substr(tab + 1, dacl - tab - 1) + L"D:";
    sddl +=
        line.compare(dacl, 3, L"D:P") == 0 ? line.substr(dacl + 3) : L"P" + line.substr(dacl + 2);
    tkrtest::SeedKey(line.substr(0, line.find(L'\t')), sddl.c_str());
}

// The undo file without the entries of the seeded keys that deny administrators reading them.
void DropLockedEntries(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*_undo*.txt").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    FindClose(search);
    const std::wstring undoFile = folder + L"\\" + found.cFileName;
    const std::string bytes = tkrtest::ReadBytes(undoFile);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    for (const wchar_t* name : {L"Locked", L"DenyReadControl"}) {
        const std::wstring line = L"\r\n.qk4\\tkr-selftest\\" + std::wstring(name) + L"\t";
        const size_t at = text.find(line);
        if (at != std::wstring::npos) {
            text.erase(at, text.find(L"\r\n", at + 2) - at);
        }
    }
    tkrtest::WriteBytes(undoFile, tkrtest::Utf16Bytes(text));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* set = _wgetenv(L"TKR_STANDIN_FAULT");
    const std::wstring fault = set ? set : L"";
    // The self-test runs its copy of the stand-in from its report folder: the real tool is where
    // the test says.
    const wchar_t* realSet = _wgetenv(L"TKR_STANDIN_REAL");
    const std::wstring real = realSet ? realSet : L"";
    const auto given = [&](const wchar_t* option) {
        return std::find_if(argv + 1, argv + argc, [&](const wchar_t* argument) {
                   return std::wstring(argument) == option;
               }) != argv + argc;
    };
    if (fault == L"check-walks-nothing" && given(L"-check")) {
        return 0;
    }
    const HANDLE token =
        fault == L"no-take-ownership" ? tkrtest::TokenWithoutTakeOwnership() : nullptr;
    const tkrtest::ProcessResult run = tkrtest::RunProcess(real, GetCommandLineW(), {}, token);
    if (token) {
        CloseHandle(token);
    }
    std::fwrite(run.output.data(), 1, run.output.size(), stdout);
    std::fwrite(run.errors.data(), 1, run.errors.size(), stderr);

    const bool repair = !given(L"-check") && !given(L"-undo") && !given(L"-?");
    if (fault == L"follows-links" && repair) {
        for (const std::wstring& table : tkrtest::kTableKeys) {
            FollowLinks(table);
        }
    }
    for (int i = 1; fault == L"undo-without-locked" && repair && i + 1 < argc; ++i) {
        if (std::wstring(argv[i]) == L"-log") {
            DropLockedEntries(argv[i + 1]);
        }
    }
    if (fault == L"check-writes" && given(L"-check")) {
        tkrtest::SeedKey(L".qk4\\tkr-selftest\\Siblings\\s000", L"D:(A;CI;GR;;;WD)(A;CI;GA;;;BA)");
    }
    if (fault == L"inherited-as-explicit" && repair) {
        constexpr wchar_t kLeaf[] = L".qk4\\tkr-selftest\\Inherit\\Open\\Leaf";
        std::wstring sddl = tkrtest::KeySddl(kLeaf);
        for (size_t at; (at = sddl.find(L"ID;")) != std::wstring::npos;) {
            sddl.erase(at, 2);
        }
        tkrtest::SeedKey(kLeaf, sddl.c_str());
    }
    if (fault == L"write-outside" && repair) {
        tkrtest::SeedKey(L"tkr-selftest-twin", L"D:(A;CI;GR;;;WD)(A;CI;GA;;;BA)");
    }
    for (int i = 1; fault == L"inexact-undo" && i + 1 < argc; ++i) {
        if (std::wstring(argv[i]) == L"-undo") {
            SpoilUndo(argv[i + 1]);
        }
    }
    return static_cast<int>(run.exitCode);
}
