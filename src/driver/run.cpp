#include "driver/run.h"

#include "platform/unique.h"
#include "platform/win_api.h"
#include "report/report.h"
#include "security/key_security.h"

#include <cwchar>
#include <new>
#include <stdexcept>
#include <vector>

namespace tkr {

const std::array<const wchar_t*, 15> DocumentTypeKeys = {
    L".qk4", L".zor", L".wun", L".bym", L".kaf", L".27u", L".gli", L".tov",
    L".rux", L".mik", L".nol", L".ooq", L".lud", L".cwa", L".hib",
};

namespace {

struct InheritanceOption {
    const wchar_t* text;
    DWORD value;
};
constexpr InheritanceOption kInheritanceOptions[] = {
    {L"-i1", OBJECT_INHERIT_ACE},
    {L"-i2", CONTAINER_INHERIT_ACE},
    {L"-i3", OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
    {L"-i4", NO_PROPAGATE_INHERIT_ACE},
    {L"-i5", INHERIT_ONLY_ACE},
};
constexpr DWORD kDefaultInheritanceFlags = CONTAINER_INHERIT_ACE;

// The registry's longest key name (255 units) and its terminator.
constexpr DWORD kKeyNameCapacity = 256;

constexpr wchar_t kOutOfMemory[] = L"Out of memory.";

constexpr wchar_t kLinkSkipped[] = L"SKIPPED: registry link, not followed";

// A key whose subkeys are being walked; it stays open until all of them are done.
struct OpenKey {
    UniqueKey key;
    DWORD subKeyCount;
    DWORD nextIndex;
    size_t pathLength;
};

// Announces and repairs one key; unless it is a link or cannot be read, opens it and puts it
// on the walk's stack so that its subkeys follow.
void VisitKey(const std::wstring& path, DWORD inheritanceFlags, std::vector<OpenKey>& stack) {
    std::wstring objectName = FormatText(L"CLASSES_ROOT\\%ls", path.c_str());
    ShowReport(ReportLevel::Message, L"Fix \"%ls\" ...", path.c_str());
    // Security calls and opens follow links; an elevated tool must not be led out of its trees.
    if (IsRegistryLink(path)) {
        ShowReport(ReportLevel::Warning, kLinkSkipped);
        return;
    }
    if (RepairKeySecurity(std::move(objectName), inheritanceFlags)) {
        ShowReport(ReportLevel::Message, L"DONE");
    } else {
        ShowReport(ReportLevel::Error, L"ERROR OCCURED");
    }

    UniqueKey key;
    if (win::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD count = 0;
    if (win::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        count = 0;
    }
    stack.push_back(OpenKey{std::move(key), count, 0, path.size()});
}

} // namespace

DWORD ParseInheritanceFlags(int argc, wchar_t** argv) {
    DWORD flags = 0;
    for (int i = 1; i < argc; ++i) {
        for (const InheritanceOption& option : kInheritanceOptions) {
            if (std::wcscmp(argv[i], option.text) == 0) {
                flags |= option.value;
                break;
            }
        }
    }
    return flags != 0 ? flags : kDefaultInheritanceFlags;
}

bool IsRegistryLink(const std::wstring& keyPath) {
    UniqueKey key;
    if (win::RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), REG_OPTION_OPEN_LINK,
                           KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    const LSTATUS status =
        win::RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    return (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) && type == REG_LINK;
}

void RepairKeyTree(const std::wstring& keyPath, DWORD inheritanceFlags) {
    // An explicit stack instead of recursion: a tree may be nested far deeper than a thread's
    // stack could follow. One path buffer serves every level.
    std::vector<OpenKey> stack;
    std::wstring path = keyPath;
    VisitKey(path, inheritanceFlags, stack);

    wchar_t name[kKeyNameCapacity];
    while (!stack.empty()) {
        OpenKey& parent = stack.back();
        if (parent.nextIndex >= parent.subKeyCount) {
            stack.pop_back();
            continue;
        }
        const DWORD index = parent.nextIndex++;
        DWORD length = kKeyNameCapacity;
        if (win::RegEnumKeyExW(parent.key.get(), index, name, &length, nullptr, nullptr, nullptr,
                               nullptr) != ERROR_SUCCESS) {
            continue;
        }
        // A name that is empty or holds a null cannot be written as a path component: it
        // would name the parent or a sibling instead.
        if (length == 0 || wcsnlen(name, length) != length) {
            continue;
        }
        path.resize(parent.pathLength);
        path = FormatText(L"%ls\\%ls", path.c_str(), name);
        VisitKey(path, inheritanceFlags, stack);
    }
}

int RunRepair(int argc, wchar_t** argv) {
    const DWORD inheritanceFlags = ParseInheritanceFlags(argc, argv);
    InitRunLogPath(argc > 0 ? argv[0] : nullptr);
    for (const wchar_t* key : DocumentTypeKeys) {
        RepairKeyTree(key, inheritanceFlags);
    }
    win::wprintf(L"Press a key to close...");
    win::fflush(stdout);
    win::_getch();
    return 0;
}

int RunTool(int argc, wchar_t** argv) {
    try {
        return RunRepair(argc, argv);
    } catch (const FatalError& error) {
        win::wprintf(L"\n%ls The run was stopped.\n", error.message);
    } catch (const std::bad_alloc&) {
        win::wprintf(L"\n%ls The run was stopped.\n", kOutOfMemory);
    } catch (const std::length_error&) { // a text longer than a string can hold
        win::wprintf(L"\n%ls The run was stopped.\n", kOutOfMemory);
    }
    win::fflush(stdout);
    return 1;
}

} // namespace tkr
