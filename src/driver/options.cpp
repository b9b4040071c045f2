#include "driver/options.h"

#include <cwchar>
#include <utility>

namespace tkr {
namespace {

constexpr std::pair<const wchar_t*, DWORD> kInheritanceOptions[] = {
    {L"-i1", OBJECT_INHERIT_ACE},
    {L"-i2", CONTAINER_INHERIT_ACE},
    {L"-i3", OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
    {L"-i4", NO_PROPAGATE_INHERIT_ACE},
    {L"-i5", INHERIT_ONLY_ACE},
};
constexpr DWORD kDefaultInheritanceFlags = CONTAINER_INHERIT_ACE;

// The flag an inheritance option stands for; 0 for any other argument.
DWORD InheritanceFlag(const wchar_t* argument) {
    for (const auto& [option, flag] : kInheritanceOptions) {
        if (std::wcscmp(argument, option) == 0) {
            return flag;
        }
    }
    return 0;
}

bool IsOption(const wchar_t* argument) {
    for (const wchar_t* option : {L"-q", L"-check", L"-log", L"-undo"}) {
        if (std::wcscmp(argument, option) == 0) {
            return true;
        }
    }
    return InheritanceFlag(argument) != 0;
}

// Takes the value after an option that needs one ("-log DIR", "-undo FILE").
[[nodiscard]] std::wstring TakeValue(int argc, wchar_t** argv, int& i, const wchar_t* what,
                                     bool& given, std::wstring& value) {
    const std::wstring option = argv[i];
    if (given) {
        return option + L" is given more than once.";
    }
    if (i + 1 >= argc || IsOption(argv[i + 1]) || argv[i + 1][0] == L'\0') {
        return option + L" must be followed by " + what + L".";
    }
    given = true;
    value = argv[++i];
    return L"";
}

} // namespace

DWORD ParseInheritanceFlags(int argc, wchar_t** argv) {
    DWORD flags = 0;
    for (int i = 1; i < argc; ++i) {
        flags |= InheritanceFlag(argv[i]);
    }
    return flags != 0 ? flags : kDefaultInheritanceFlags;
}

bool AsksForHelp(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        for (const wchar_t* help : {L"-?", L"/?", L"-h", L"-help", L"--help"}) {
            if (std::wcscmp(argv[i], help) == 0) {
                return true;
            }
        }
    }
    return false;
}

std::wstring ParseOptions(int argc, wchar_t** argv, RunOptions& options) {
    bool logGiven = false;
    bool undoGiven = false;
    bool inheritanceGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        std::wstring error;
        if (argument == L"-q") {
            options.quiet = true;
        } else if (argument == L"-check") {
            options.check = true;
        } else if (argument == L"-log") {
            error = TakeValue(argc, argv, i, L"a folder", logGiven, options.logFolder);
        } else if (argument == L"-undo") {
            error = TakeValue(argc, argv, i, L"an undo file", undoGiven, options.undoFile);
        } else {
            inheritanceGiven |= InheritanceFlag(argv[i]) != 0;
        }
        if (!error.empty()) {
            return error;
        }
    }
    if (undoGiven && (options.check || inheritanceGiven)) {
        return L"-undo cannot be combined with -check or the -i options.";
    }
    options.inheritanceFlags = ParseInheritanceFlags(argc, argv);
    return L"";
}

} // namespace tkr
