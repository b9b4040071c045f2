#include "driver/options.h"

#include <cwchar>

namespace tkr {
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

constexpr const wchar_t* kOtherOptions[] = {L"-q", L"-check", L"-log", L"-undo"};

const InheritanceOption* FindInheritanceOption(const wchar_t* argument) {
    for (const InheritanceOption& option : kInheritanceOptions) {
        if (std::wcscmp(argument, option.text) == 0) {
            return &option;
        }
    }
    return nullptr;
}

bool IsOption(const wchar_t* argument) {
    if (FindInheritanceOption(argument) != nullptr) {
        return true;
    }
    for (const wchar_t* option : kOtherOptions) {
        if (std::wcscmp(argument, option) == 0) {
            return true;
        }
    }
    return false;
}

// Takes the value after an option that needs one ("-log DIR", "-undo FILE").
std::wstring TakeValue(int argc, wchar_t** argv, int& i, const wchar_t* what, bool& given,
                       std::wstring& value) {
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
        if (const InheritanceOption* option = FindInheritanceOption(argv[i])) {
            flags |= option->value;
        }
    }
    return flags != 0 ? flags : kDefaultInheritanceFlags;
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
        } else if (FindInheritanceOption(argv[i]) != nullptr) {
            inheritanceGiven = true;
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
