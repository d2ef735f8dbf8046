# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, which
# std::thread and Qt need). Used to build the static Qt and, chained by qt-cmake, Morvane.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MORVANE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MORVANE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORVANE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${MORVANE_MINGW}-windres)
set(CMAKE_AR ${MORVANE_MINGW}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${MORVANE_MINGW}-gcc-ranlib-posix CACHE FILEPATH "")

# Every header, library and package search stays in the MinGW sysroot (and whatever the caller
# adds, such as the Qt prefix); otherwise the host's /usr/include leaks into the build.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${MORVANE_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL of the compiler's beside the .exe: libgcc, libstdc++ and winpthread linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Executables built for tests run through Wine when CMake or CTest needs to start them.
find_program(MORVANE_WINE NAMES wine64 wine)
if(MORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVANE_WINE})
endif()
