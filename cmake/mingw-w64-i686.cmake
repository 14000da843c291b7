# Windows x86 DLL with mingw-w64. No 32-bit Wine here: this build is linked
# and inspected, not run.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PELK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
