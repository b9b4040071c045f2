#include "driver/run.h"

int wmain(int argc, wchar_t** argv) {
    return tkr::RunTool(argc, argv);
}
