// Reporting paths that real Windows cannot be made to take: failures of the runtime library and
// of the log file.
#include "fake_win.h"

#include "report/report.h"

#include <gtest/gtest.h>

namespace {

TEST(ReportCalls, EachLineIsWrittenWholeAndTheFileIsNotHeldBetweenLines) {
    FakeWindows fake;
    const tkr::RunLog log(L"C:\\run.log");
    for (const wchar_t* text : {L"w", L"m"}) {
        tkr::LogReport(log, tkr::ReportLevel::Warning, text);
        EXPECT_TRUE(fake.handles.empty());
    }
    EXPECT_EQ(fake.files[L"C:\\run.log"], L"Warning: w\r\nWarning: m\r\n");
}

TEST(ReportCalls, AFailedOpenDropsTheLineAndTheNextOneIsWritten) {
    FakeWindows fake;
    const tkr::RunLog log(L"C:\\run.log");
    fake.outcomes["CreateFileW"] = {ERROR_SHARING_VIOLATION};
    tkr::ShowReport(log, tkr::ReportLevel::Message, L"first");
    tkr::ShowReport(log, tkr::ReportLevel::Message, L"second");
    EXPECT_EQ(fake.console, L"first\nsecond\n");
    EXPECT_EQ(fake.files[L"C:\\run.log"], L"Message: second\r\n");
    EXPECT_TRUE(fake.handles.empty());
}

TEST(ReportCalls, AnEmptyTextIsAnEmptyConsoleLineAndNoLogLine) {
    FakeWindows fake;
    const tkr::RunLog log(L"C:\\run.log");
    tkr::ShowReport(log, tkr::ReportLevel::Message, L"");
    tkr::LogReport(log, tkr::ReportLevel::Error, L"%ls", L"");
    EXPECT_EQ(fake.console, L"\n");
    EXPECT_TRUE(fake.files.empty());
}

TEST(ReportFailures, AnUnformattableTextStopsTheRun) {
    FakeWindows fake;
    fake.outcomes["_vscwprintf"] = {1};
    EXPECT_THROW(tkr::LogReport(tkr::RunLog(), tkr::ReportLevel::Message, L"%ls", L"x"),
                 tkr::FatalError);
}

TEST(ReportFailures, ATimeWithoutLocalTimeStopsTheRun) {
    FakeWindows fake;
    fake.outcomes["_localtime64_s"] = {EINVAL};
    EXPECT_THROW(tkr::FormatLogSuffix(0), tkr::FatalError);
}

TEST(ReportFailures, ASuffixThatDoesNotFormatIsEmpty) {
    FakeWindows fake;
    EXPECT_EQ(tkr::FormatLogSuffix(0).size(), 18u);
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
