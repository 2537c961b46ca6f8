# Cross-building for Windows with Debian's MinGW-w64 (scripts/build
# --windows): -DLAMP_WINDOWS_ARCH=x86_64 (default) or i686 for 32-bit.
set(CMAKE_SYSTEM_NAME Windows)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LAMP_WINDOWS_ARCH)
if(NOT LAMP_WINDOWS_ARCH)
  set(LAMP_WINDOWS_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${LAMP_WINDOWS_ARCH})
set(triple ${LAMP_WINDOWS_ARCH}-w64-mingw32)
# The posix thread model: std::thread and std::mutex, from winpthreads.
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
