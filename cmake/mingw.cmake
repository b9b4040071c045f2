# The cross toolchain's common part, included by mingw-i686.cmake and mingw-x86_64.cmake after
# they set tkr_mingw_target (the compilers' prefix) and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${tkr_mingw_target}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tkr_mingw_target}-g++-posix)
set(CMAKE_RC_COMPILER ${tkr_mingw_target}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${tkr_mingw_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
