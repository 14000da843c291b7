# Windows x64 DLL with mingw-w64. The -posix compilers: the win32 thread
# model cannot build GoogleTest. Tests run under Wine (cmake/wine-run.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PELK_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${PELK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PELK_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PELK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine gets a prefix of its own under the build folder (absolute, ours).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
