# Linux on another processor from this machine with zig's Clang: its libc++
# and the musl C library, linked statically, so that a test program runs
# under qemu's user-mode emulator with no system root of the target's. The
# target is VOSTRAL_ZIG_TARGET (aarch64-linux-musl).
set(CMAKE_SYSTEM_NAME Linux)
if("$ENV{VOSTRAL_ZIG_TARGET}" MATCHES "^([a-z0-9_]+)-linux-")
  set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_MATCH_1})
else()
  message(FATAL_ERROR "VOSTRAL_ZIG_TARGET must be a Linux target such as aarch64-linux-musl, not '$ENV{VOSTRAL_ZIG_TARGET}'")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
