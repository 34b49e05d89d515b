# Cross toolchain for the 64-bit Windows build (mingw-w64, posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Tests of this build run under 64-bit Wine (tools/wine.sh makes the loader).
set(CMAKE_CROSSCOMPILING_EMULATOR ${merivane_wine_loaders}/wine64)
