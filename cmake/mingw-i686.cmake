# Cross toolchain for the 32-bit Windows build (mingw-w64, posix threads).
# This machine cannot run 32-bit Wine, so the build is compiled but not run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
