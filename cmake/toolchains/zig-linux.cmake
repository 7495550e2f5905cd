# Linux on another processor from this machine with zig's Clang: its libc++
# and the musl C library, linked statically, so that a test program runs
# under qemu's user-mode emulator with no system root of the target's. The
# target is VOSTRAL_ZIG_TARGET (aarch64-linux-musl). The compiler is the
# ziglang package's zig (VOSTRAL_ZIG, else zig on PATH), reached through the
# wrappers beside this file.
set(CMAKE_SYSTEM_NAME Linux)
if("$ENV{VOSTRAL_ZIG_TARGET}" MATCHES "^([a-z0-9_]+)-linux-")
  set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_MATCH_1})
else()
  message(FATAL_ERROR "VOSTRAL_ZIG_TARGET must be a Linux target such as aarch64-linux-musl, not '$ENV{VOSTRAL_ZIG_TARGET}'")
endif()
# CMake's checks run again (try_compile) in fresh processes: the target must reach them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CMAKE_SYSTEM_PROCESSOR)

set(vostral_zig_wrappers ${CMAKE_CURRENT_LIST_DIR}/zig)
set(CMAKE_C_COMPILER ${vostral_zig_wrappers}/cc)
set(CMAKE_CXX_COMPILER ${vostral_zig_wrappers}/c++)
set(CMAKE_AR ${vostral_zig_wrappers}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${vostral_zig_wrappers}/ranlib CACHE FILEPATH "")

# Nothing of the host's libraries or headers; programs (the host Python that
# dumps test data) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
