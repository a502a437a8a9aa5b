# Cross-builds the Windows programs on Debian with MinGW-w64 (x86_64, POSIX threads model, so
# std::thread and std::mutex work) and runs what the build runs (tests, test discovery) under
# Wine. Use: cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Debian packages: g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 (scripts/setup-windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LOBBY_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LOBBY_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LOBBY_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LOBBY_MINGW_TRIPLE}-windres)

# Only the MinGW tree is searched for libraries and headers (zlib from libz-mingw-w64-dev
# lives there); programs such as wine and makensis still come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${LOBBY_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# zlib statically: the zip carries the programs and no DLL beside them.
set(ZLIB_USE_STATIC_LIBS ON)

# Every program linked statically (libgcc, libstdc++, winpthread): a Windows machine has none
# of MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine runs the programs here, in a prefix of the build's own so that tests never touch the
# user's ~/.wine; no debug chatter; no offer to install Mono or Gecko on the prefix's first
# start (it would wait for a click that never comes). Run from CMake's build steps, from
# ctest, and from scripts through the file build-windows/wine-run that the build writes.
set(LOBBY_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${LOBBY_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine)
