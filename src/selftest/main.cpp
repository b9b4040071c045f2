#include "selftest/self_test.h"

int wmain(int argc, wchar_t** argv) {
    return tkr::selftest::RunSelfTest(argc, argv);
}
