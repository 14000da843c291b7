# Windows x86 DLL with mingw-w64. Tests run under 32-bit Wine (wine32:i386)
# in a 32-bit prefix of their own, so no 64-bit part of Wine is involved.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PELK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR env WINEARCH=win32 ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
