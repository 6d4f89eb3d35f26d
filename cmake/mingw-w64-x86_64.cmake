# Cross build for 64-bit Windows with Debian's MinGW-w64:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
# Tests then run under Wine (the test scripts prepare its prefix).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KVS_MINGW_PREFIX x86_64-w64-mingw32)

# The posix thread model: std::thread and std::mutex are missing from the
# win32 one.
set(CMAKE_C_COMPILER ${KVS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KVS_MINGW_PREFIX}-windres)

# Libraries and headers come from the MinGW tree only; programs run during
# the build are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${KVS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests start the .exe files through Wine.
find_program(KVS_WINE wine)
if(KVS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KVS_WINE})
endif()
