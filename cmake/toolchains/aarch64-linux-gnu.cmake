# 64-bit ARM Linux (glibc) from an x86-64 Debian with Debian's cross compiler
# (g++-aarch64-linux-gnu): the same GCC, C library and C++ runtime that an
# arm64 Debian of the same release builds with. The programs run under
# qemu-user: the caller sets CMAKE_CROSSCOMPILING_EMULATOR (and, for the
# module, a Python_EXECUTABLE that runs the target's interpreter there).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Nothing of the host's libraries or headers; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
