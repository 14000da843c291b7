# 32-bit ARM (armel: ARMv5-class, soft float), the device's processor family,
# on Linux. Tests run under qemu-arm with the cross sysroot for the loader and
# libstdc++.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PELK_ARM_TRIPLE arm-linux-gnueabi)
set(PELK_ARM_SYSROOT /usr/${PELK_ARM_TRIPLE})

set(CMAKE_C_COMPILER ${PELK_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PELK_ARM_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH ${PELK_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(PELK_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PELK_QEMU_ARM} -L ${PELK_ARM_SYSROOT})
