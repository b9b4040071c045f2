#include "driver/run.h"
#include "platform/win_api.h"
#include "report/report.h"

#include <new>

int wmain(int argc, wchar_t** argv) {
    // The run has no way to go on without memory, a formattable text or a local time.
    try {
        return tkr::RunRepair(argc, argv);
    } catch (const tkr::FatalError& error) {
        win::wprintf(L"\n%ls The run was stopped.\n", error.message);
    } catch (const std::bad_alloc&) {
        win::wprintf(L"\nOut of memory. The run was stopped.\n");
    }
    win::fflush(stdout);
    return 1;
}
