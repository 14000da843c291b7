# Windows x64 DLL with mingw-w64. Tests run under Wine (cmake/wine-run.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PELK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Wine gets a prefix of its own under the build folder (absolute, ours).
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEARCH=win64 ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
