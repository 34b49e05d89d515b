# Cross toolchain for the 32-bit Windows build (mingw-w64, posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Tests of this build run under 32-bit Wine, emulated by qemu-i386 (tools/wine.sh makes it).
set(CMAKE_CROSSCOMPILING_EMULATOR ${merivane_wine_loaders}/wine)
