// Report lines and the run log on a real file system.
#include "files.h"

#include "report/report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace tkrtest;
using tkr::ReportLevel;

namespace {

class RunLog : public ::testing::Test {
  protected:
    std::wstring dir = ScratchDirectory(L"report");
    std::wstring log = dir + L"\\tool_140303_090507.log";
    tkr::RunLog runLog{log};
};

TEST_F(RunLog, LinesAreLabelledUtf16WithoutByteOrderMarkAndEndInCrLf) {
    tkr::LogReport(runLog, ReportLevel::Message, L"\tSuccessfully changed DACL permissions");
    tkr::LogReport(runLog, ReportLevel::Warning, L"\tFirst SetNamedSecurityInfo access denide");
    tkr::LogReport(runLog, ReportLevel::Error, L"\tCould not set owner. Error: %u", 5u);
    tkr::ShowReport(runLog, ReportLevel::Error, L"ERROR OCCURED");
    EXPECT_EQ(ReadBytes(log), Utf16Bytes(L"Message: \tSuccessfully changed DACL permissions\r\n"
                                         L"Warning: \tFirst SetNamedSecurityInfo access denide\r\n"
                                         L"!ERROR!: \tCould not set owner. Error: 5\r\n"
                                         L"!ERROR!: ERROR OCCURED\r\n"));
    EXPECT_EQ(ReadBytes(log).substr(0, 4), std::string("M\0e\0", 4));
}

TEST_F(RunLog, AnEmptyTextWritesNothingAndLeavesTheFileUntouched) {
    tkr::LogReport(runLog, ReportLevel::Message, L"");
    EXPECT_FALSE(FileExists(log));
    WriteBytes(log, "x");
    tkr::ShowReport(runLog, ReportLevel::Warning, L"%ls", L"");
    EXPECT_EQ(ReadBytes(log), "x");
}

TEST_F(RunLog, AnExistingLogIsAppendedToNeverTruncated) {
    WriteBytes(log, Utf16Bytes(L"Message: earlier run\r\n"));
    tkr::LogReport(runLog, ReportLevel::Message, L"DONE");
    EXPECT_EQ(ReadBytes(log), Utf16Bytes(L"Message: earlier run\r\nMessage: DONE\r\n"));
}

TEST_F(RunLog, TextsOfAnyLengthAreFormattedAndLoggedWhole) {
    const std::wstring name(100000, L'k');
    tkr::LogReport(runLog, ReportLevel::Message, L"Fix \"%ls\" ...", name.c_str());
    tkr::LogReport(runLog, ReportLevel::Message, L"%u|%u|%u", 5u, 1300u, 4294967295u);
    tkr::LogReport(runLog, ReportLevel::Message, L"CLASSES_ROOT\\%ls", L"%s%n%u%%");
    EXPECT_EQ(ReadBytes(log), Utf16Bytes(L"Message: Fix \"" + name + L"\" ...\r\n" +
                                         L"Message: 5|1300|4294967295\r\n" +
                                         L"Message: CLASSES_ROOT\\%s%n%u%%\r\n"));
}

TEST_F(RunLog, TextOutsideTheBasicPlaneKeepsItsExactUtf16) {
    const std::wstring name = L"\xD83D\xDE00-\x00E9-\xFFFF";
    tkr::LogReport(runLog, ReportLevel::Message, L"%ls", name.c_str());
    EXPECT_EQ(ReadBytes(log), Utf16Bytes(L"Message: " + name + L"\r\n"));
}

TEST_F(RunLog, WithoutAPathNoFileAppearsAnywhere) {
    runLog = tkr::RunLog();
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    SetCurrentDirectoryW(dir.c_str());
    tkr::LogReport(runLog, ReportLevel::Error, L"lost");
    tkr::ShowReport(runLog, ReportLevel::Message, L"console only");
    SetCurrentDirectoryW(cwd);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((dir + L"\\*.*").c_str(), &found);
    int entries = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            entries +=
                std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..";
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    EXPECT_EQ(entries, 0);
}

TEST_F(RunLog, ALineMeetingAWriterThatDeniesSharingIsDroppedAndTheNextIsWritten) {
    tkr::LogReport(runLog, ReportLevel::Message, L"one");
    const HANDLE holder = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    tkr::ShowReport(runLog, ReportLevel::Message, L"dropped");
    CloseHandle(holder);
    tkr::LogReport(runLog, ReportLevel::Message, L"three");
    EXPECT_EQ(ReadBytes(log), Utf16Bytes(L"Message: one\r\nMessage: three\r\n"));
}

TEST_F(RunLog, AReaderThatAllowsWritersDoesNotStopTheLog) {
    tkr::LogReport(runLog, ReportLevel::Message, L"one");
    const HANDLE reader = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    tkr::LogReport(runLog, ReportLevel::Message, L"two");
    CloseHandle(reader);
    EXPECT_EQ(ReadBytes(log), Utf16Bytes(L"Message: one\r\nMessage: two\r\n"));
}

class LogName : public ::testing::Test {
  protected:
    // A zone 5 h 45 min east of UTC shows any mistake of local for universal time.
    void SetUp() override {
        _wputenv(L"TZ=NPT-5:45");
        _tzset();
    }
    void TearDown() override {
        _wputenv(L"TZ=");
        _tzset();
    }
};

TEST_F(LogName, SuffixIsTheLocalStartTimeToTheSecond) {
    // 2014-03-03 03:20:07 UTC is 09:05:07 in that zone.
    EXPECT_EQ(tkr::FormatLogSuffix(1393816807), L"_140303_090507.log");
    EXPECT_EQ(tkr::FormatLogSuffix(1393816807 + 86400 * 365), L"_150303_090507.log");
}

TEST_F(LogName, PathDropsOnlyTheFileNamesExtension) {
    struct Case {
        const wchar_t* program;
        const wchar_t* stem;
    };
    for (const Case& c :
         {Case{L"C:\\Tools\\tool.exe", L"C:\\Tools\\tool_"},
          Case{L"C:\\Tools\\tool", L"C:\\Tools\\tool_"},
          Case{L"C:\\My.Tools\\tool", L"C:\\My.Tools\\tool_"}, Case{L"tool.exe", L"tool_"},
          Case{L"C:\\a.b\\tool.v2.exe", L"C:\\a.b\\tool.v2_"}}) {
        const __time64_t before = _time64(nullptr);
        tkr::RunLog log;
        log.InitRunLogPath(c.program);
        const __time64_t after = _time64(nullptr);
        const std::wstring& path = log.RunLogPath();
        const std::wstring stem = c.stem;
        ASSERT_EQ(path.size(), stem.size() + 17) << path;
        EXPECT_EQ(path.substr(0, stem.size()), stem) << path;
        const std::wstring stamp = L"_" + path.substr(stem.size());
        EXPECT_TRUE(stamp == tkr::FormatLogSuffix(before) || stamp == tkr::FormatLogSuffix(after))
            << path;
    }
}

} // namespace
