# Cross toolchain: 64-bit Windows programs built on a Linux host with mingw-w64 (for running the
# tests where 32-bit programs cannot run).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(tkr_mingw_target x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
