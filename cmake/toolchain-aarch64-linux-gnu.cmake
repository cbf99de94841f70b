# SPDX-License-Identifier: MIT
# 64-bit ARM Linux (a Raspberry Pi 3, 4 or 5 with a 64-bit system), cross-built
# with Debian's aarch64-linux-gnu compilers; tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MORVIX_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${MORVIX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MORVIX_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${MORVIX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static programs, as on Windows: the package then runs on any 64-bit ARM
# system, whatever its C++ library (Raspberry Pi OS 11 has an older one than
# the compiler's), and qemu needs no target library folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
