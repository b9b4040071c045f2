# Cross toolchain: 32-bit Windows programs built on a Linux host with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(tkr_mingw_target i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
