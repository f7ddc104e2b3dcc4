# Cross-build for 64-bit ARM Linux with Debian's cross compiler; the tests run
# under user-mode emulation (package qemu-user), the program tests included.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The emulated programs load the ARM C library of Debian's arm64 packages
# (libc6:arm64, libstdc++6:arm64): with the cross toolchain's copy (-L
# /usr/aarch64-linux-gnu) the first thread a program starts never runs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
