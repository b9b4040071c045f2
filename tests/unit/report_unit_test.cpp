// Reporting paths that real Windows cannot be made to take: failures of the runtime library,
// and the exact file calls each line makes.
#include "fake_win.h"

#include "report/report.h"

#include <gtest/gtest.h>

namespace {

TEST(ReportCalls, EachLineOpensChecksAppendsAndClosesTheFile) {
    FakeWindows fake;
    tkr::LogReport(tkr::RunLog(L"C:\\run.log"), tkr::ReportLevel::Warning, L"w");
    EXPECT_EQ(fake.journal, (std::vector<std::wstring>{
                                L"CreateFileW C:\\run.log access=0x40000000 share=1 security=null "
                                L"disposition=4 attributes=2097280 template=null",
                                L"GetFileInformationByHandleEx C:\\run.log 9",
                                L"GetFileInformationByHandleEx C:\\run.log 1",
                                L"SetFilePointer C:\\run.log 0 0 2", L"WriteFile C:\\run.log 24",
                                L"CloseHandle C:\\run.log"}));
}

TEST(ReportCalls, AFailedOpenDropsTheLineAndTheNextOneIsWritten) {
    FakeWindows fake;
    const tkr::RunLog log(L"C:\\run.log");
    fake.outcomes["CreateFileW"] = {ERROR_SHARING_VIOLATION};
    tkr::ShowReport(log, tkr::ReportLevel::Message, L"first");
    tkr::ShowReport(log, tkr::ReportLevel::Message, L"second");
    EXPECT_EQ(fake.console, L"first\nsecond\n");
    EXPECT_EQ(fake.files[L"C:\\run.log"], L"Message: second\r\n");
    EXPECT_TRUE(fake.Calls(L"CloseHandle").size() == 1);
}

TEST(ReportCalls, AnEmptyTextIsAnEmptyConsoleLineAndNoLogLine) {
    FakeWindows fake;
    const tkr::RunLog log(L"C:\\run.log");
    tkr::ShowReport(log, tkr::ReportLevel::Message, L"");
    tkr::LogReport(log, tkr::ReportLevel::Error, L"%ls", L"");
    EXPECT_EQ(fake.console, L"\n");
    EXPECT_TRUE(fake.Calls(L"CreateFileW").empty());
}

TEST(ReportFailures, AnUnformattableTextStopsTheRun) {
    FakeWindows fake;
    fake.outcomes["_vscwprintf"] = {1};
    EXPECT_THROW(tkr::FormatText(L"%ls", L"x"), tkr::FatalError);
}

TEST(ReportFailures, ATimeWithoutLocalTimeStopsTheRun) {
    FakeWindows fake;
    fake.outcomes["_localtime64_s"] = {EINVAL};
    EXPECT_THROW(tkr::FormatLogSuffix(0), tkr::FatalError);
}

TEST(ReportFailures, ASuffixThatDoesNotFormatIsEmpty) {
    FakeWindows fake;
    EXPECT_EQ(tkr::FormatLogSuffix(0).size(), 18u);
    EXPECT_EQ(fake.journal.back(), L"wcsftime size=128 _%y%m%d_%H%M%S.log");
    fake.outcomes["wcsftime"] = {1};
    EXPECT_EQ(tkr::FormatLogSuffix(0), L"");
}

TEST(ReportFailures, NoProgramPathMeansNoLog) {
    FakeWindows fake;
    tkr::RunLog log;
    log.InitRunLogPath(nullptr);
    log.InitRunLogPath(L"");
    log.InitRunLogPath(L".exe");
    EXPECT_TRUE(log.RunLogPath().empty());
    EXPECT_TRUE(fake.Calls(L"_time64").empty());
}

} // namespace
