// Seeds and shows registry states for the demo and the benchmark.
//   regtool reset              moves the fifteen table keys out of the way
//   regtool seed-demo          seeds the table keys in a realistic mix of states
//   regtool seed-tree KEY N    seeds a tree of about N keys below KEY
//   regtool show               prints owner and DACL of every table key and key below it
//   regtool seed-unicode       seeds .qk4 and below it a key named with Latin-1, Greek, CJK and
//                              non-BMP characters
#include "registry.h"

#include <cstdio>
#include <cwchar>
#include <string>

using namespace tkrtest;

namespace {

// "Ünïcödé Ω 日本 😀", written with escapes so that the source stays ASCII.
constexpr wchar_t kUnicodeName[] =
    L"\x00DCn\x00EF\x0063\x00F6\x0064\x00E9 \x03A9 \x65E5\x672C \xD83D\xDE00";

int Check(LSTATUS status, const std::wstring& what) {
    if (status != ERROR_SUCCESS) {
        std::fwprintf(stderr, L"regtool: %ls failed: %ld\n", what.c_str(), status);
        return 1;
    }
    return 0;
}

int Reset() {
    std::wstring key;
    const LSTATUS status = MoveTableKeysAway(&key);
    return Check(status, L"moving " + key);
}

int SeedDemo() {
    int failures = Reset();
    auto seed = [&](const std::wstring& path, const wchar_t* sddl = kNormalSddl) {
        failures += Check(SeedKey(path, sddl), L"seeding " + path);
    };
    // Registered normally, with nested subkeys.
    seed(L".qk4");
    seed(L".qk4\\OpenWithProgids");
    seed(L".qk4\\ShellNew");
    seed(L".qk4\\ShellNew\\Config");
    seed(L".zor");
    seed(L".zor\\PersistentHandler");
    // Taken over by SYSTEM: the first write is denied, the ownership pass repairs them.
    seed(L".wun", kDeniedSddl);
    seed(L".bym");
    seed(L".bym\\ShellEx", kDeniedSddl);
    seed(L".bym\\ShellEx\\{8895b1c6}");
    // Locked: nothing below it can be reached.
    seed(L".kaf");
    seed(L".kaf\\Locked", kLockedSddl);
    seed(L".kaf\\Locked\\Hidden");
    seed(L".27u");
    seed(L".gli");
    seed(L".gli\\OpenWithList");
    seed(L".tov", kDeniedSddl);
    // .rux to .hib but .lud are not registered on this machine.
    seed(L".lud");
    return failures;
}

// Short names for the SIDs and rights that demo keys carry.
std::wstring Readable(std::wstring text) {
    static const std::pair<const wchar_t*, const wchar_t*> words[] = {
        {L";;;WD)", L";;;Everyone)"},  {L";;;BA)", L";;;Administrators)"},
        {L";;;SY)", L";;;SYSTEM)"},    {L";;;BU)", L";;;Users)"},
        {L";GR;", L";read;"},          {L";KR;", L";read;"},
        {L";GA;", L";full;"},          {L";KA;", L";full;"},
        {L";WO;", L";take-ownership;"}};
    for (const auto& [code, word] : words) {
        for (size_t at = 0; (at = text.find(code, at)) != std::wstring::npos;) {
            text.replace(at, std::wcslen(code), word);
            at += std::wcslen(word) - 1;
        }
    }
    return text;
}

void Show(const std::wstring& path, int depth) {
    const std::wstring sddl = KeySddl(path);
    const size_t dacl = sddl.find(L"D:");
    const std::wstring owner = sddl.rfind(L"O:BA", 0) == 0   ? L"Administrators"
                               : sddl.rfind(L"O:SY", 0) == 0 ? L"SYSTEM"
                               : sddl.rfind(L"O:", 0) == 0   ? sddl.substr(2, dacl - 2)
                                                             : L"(unreadable)";
    const std::wstring access = dacl == std::wstring::npos ? L"" : Readable(sddl.substr(dacl + 2));
    std::wprintf(L"%-30ls %-15ls %ls\n", (std::wstring(depth * 2, L' ') + path).c_str(),
                 owner.c_str(), access.c_str());
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    for (const std::wstring& name : tkrtest::SubkeyNames(key)) {
        Show(path + L"\\" + name, depth + 1);
    }
    RegCloseKey(key);
}

int ShowAll() {
    std::wprintf(L"%-30ls %-15ls %ls\n", L"KEY", L"OWNER",
                 L"DACL entries (A;inheritance;rights;;;who), P = protected");
    for (const std::wstring& key : kTableKeys) {
        if (KeyExists(key)) {
            Show(key, 0);
        } else {
            std::wprintf(L"%-30ls (missing)\n", key.c_str());
        }
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"reset") {
        return Reset();
    }
    if (command == L"seed-demo") {
        return SeedDemo();
    }
    if (command == L"seed-tree" && argc == 4) {
        return Check(SeedTree(argv[2], static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10))),
                     L"seeding tree");
    }
    if (command == L"seed-wide" && argc == 4) {
        return Check(SeedWide(argv[2], static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10))),
                     L"seeding folder");
    }
    if (command == L"show") {
        return ShowAll();
    }
    if (command == L"seed-unicode") {
        return Reset() + Check(SeedKey(L".qk4\\" + std::wstring(kUnicodeName)), L"seeding");
    }
    std::fwprintf(stderr,
                  L"usage: regtool reset | seed-demo | seed-tree KEY N | seed-wide KEY N | show | "
                  L"seed-unicode\n");
    return 2;
}
