// Appends numbered lines to one log through the tool's own reporting code, so that tests can
// run two writers against the same file: log_writer PATH TAG COUNT
#include "report/report.h"

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        return 2;
    }
    const tkr::RunLog log(argv[1]);
    const unsigned count = static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10));
    for (unsigned i = 0; i < count; ++i) {
        tkr::LogReport(log, tkr::ReportLevel::Message, L"%ls line %u of a run that shares the log",
                       argv[2], i);
    }
    return 0;
}
