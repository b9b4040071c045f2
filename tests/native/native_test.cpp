// The names as lines show them and the options, natively.
#include "driver/options.h"
#include "report/display_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(DisplayName, ControlCharactersAreShownInCaretNotation) {
    EXPECT_EQ(tkr::DisplayName(std::wstring(L"a\0b", 3)), L"a^@b");
    EXPECT_EQ(tkr::DisplayName(L"\r\n\x1B\x7F\t%"), L"^M^J^[^?\t%");
    EXPECT_EQ(tkr::DisplayName(L"\x00DC\xD83D\xDE00"), L"\x00DC\xD83D\xDE00");
}

TEST(Options, ChooseTheModeAndRefuseWhatCannotBeCombined) {
    struct Row {
        std::vector<const wchar_t*> arguments;
        const wchar_t* error;
        DWORD flags;
    };
    const Row rows[] = {
        {{}, L"", 2},
        {{L"-i1", L"-i5", L"-q"}, L"", 9},
        {{L"-log"}, L"-log must be followed by a folder.", 2},
        {{L"-undo", L"f", L"-i3"}, L"-undo cannot be combined with -check or the -i options.", 2},
        {{L"-undo", L"f", L"-undo", L"g"}, L"-undo is given more than once.", 2},
    };
    for (const Row& row : rows) {
        std::vector<std::wstring> words = {L"typekey-repair.exe"};
        words.insert(words.end(), row.arguments.begin(), row.arguments.end());
        std::vector<wchar_t*> argv;
        for (std::wstring& word : words) {
            argv.push_back(word.data());
        }
        tkr::RunOptions options;
        EXPECT_EQ(tkr::ParseOptions(static_cast<int>(argv.size()), argv.data(), options),
                  row.error);
        if (std::wstring(row.error).empty()) {
            EXPECT_EQ(options.inheritanceFlags, row.flags);
        }
    }
    std::wstring help = L"/?";
    wchar_t* argv[] = {help.data(), help.data()};
    EXPECT_TRUE(tkr::AsksForHelp(2, argv));
    EXPECT_FALSE(tkr::AsksForHelp(1, argv));
}

} // namespace
