// Keys swapped for registry links while the tool runs: an ordinary user may do that to any key
// in the trees at any moment, and the tool must never write to a key outside them.
#include "e2e.h"

#include <atomic>
#include <thread>

using namespace tkrtest;

extern "C" LONG NTAPI NtDeleteKey(HANDLE key);

namespace {

// The key at the path itself (a link, or a plain key with its subkey "x"), deleted.
void DeleteItself(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS,
                      &key) == ERROR_SUCCESS) {
        // A name opened below a link key's own handle is looked up behind the link.
        DWORD type = REG_NONE;
        RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
        if (type != REG_LINK) {
            RegDeleteKeyW(key, L"x");
        }
        NtDeleteKey(key);
        RegCloseKey(key);
    }
}

TEST_F(ToolTest, KeysFlippedBetweenPlainKeysAndLinksNeverLeadAWriteOutOfTheTrees) {
    // SYSTEM's keys outside the trees that administrators may write: what a write that
    // followed a link would change.
    const wchar_t* outsideSddl = L"O:SYD:P(A;;KA;;;SY)(A;;KA;;;BA)";
    const std::vector<std::wstring> outside = {L"tkr-race-victim", L"tkr-race-mid",
                                               L"tkr-race-mid\\x", L"tkr-race-flip\\x"};
    std::vector<std::wstring> before;
    for (const std::wstring& key : outside) {
        Seed(key, outsideSddl);
        before.push_back(KeySddl(key));
    }
    Seed(L".qk4");
    Seed(L".qk4\\race");
    Seed(L".qk4\\mid\\x");
    // A link key that stays one, its target set and cleared: between a check that finds no
    // target and the open of a child through its handle, the target may be set.
    SeedLink(L".qk4\\flip", L"tkr-race-flip");
    // An undo file whose entries differ from what the keys hold, so that every restore writes.
    const std::wstring undo = dir + L"\\race undo.txt";
    std::wstring entries = L"\xFEFFtypekey-repair undo file, version 2\r\n";
    for (const wchar_t* key : {L".qk4\\race", L".qk4\\mid", L".qk4\\mid\\x", L".qk4\\flip\\x"}) {
        entries += key + (L"\t\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\" + std::wstring(key)) +
                   L"\tO:BAD:P(A;;KA;;;WD)\r\n";
    }
    WriteBytes(undo, Utf16Bytes(entries));

    // The racer: `.qk4\race` becomes a link to the outside key and back, and `.qk4\mid` a link
    // to a tree that holds "x" as it does, as fast as it can.
    std::atomic<bool> stop{false};
    std::thread racer([&] {
        while (!stop) {
            DeleteItself(L".qk4\\race");
            SeedLink(L".qk4\\race", outside[0]);
            DeleteItself(L".qk4\\mid");
            SeedLink(L".qk4\\mid", outside[1]);
            DeleteItself(L".qk4\\race");
            SeedKey(L".qk4\\race");
            DeleteItself(L".qk4\\mid");
            SeedKey(L".qk4\\mid\\x");
        }
    });
    std::thread flipper([&] {
        HKEY flip = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L".qk4\\flip", REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS,
                          &flip) != ERROR_SUCCESS) {
            return;
        }
        const std::wstring target = L"\\Registry\\Machine\\Software\\Classes\\tkr-race-flip";
        while (!stop) {
            RegDeleteValueW(flip, L"SymbolicLinkValue");
            RegSetValueExW(flip, L"SymbolicLinkValue", 0, REG_LINK,
                           reinterpret_cast<const BYTE*>(target.data()),
                           static_cast<DWORD>(target.size() * sizeof(wchar_t)));
        }
        RegCloseKey(flip);
    });
    const std::vector<std::wstring> runs = {L"-q", L"-check -q", L"-undo \"" + undo + L"\" -q"};
    for (const std::wstring& arguments : runs) {
        for (int run = 0; run < 20; ++run) {
            EXPECT_LE(Run(arguments).exitCode, 1u) << Narrow(arguments);
        }
    }
    stop = true;
    racer.join();
    flipper.join();
    for (size_t i = 0; i < outside.size(); ++i) {
        EXPECT_EQ(KeySddl(outside[i]), before[i]) << Narrow(outside[i]);
    }
}

} // namespace
