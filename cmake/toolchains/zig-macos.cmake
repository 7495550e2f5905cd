# macOS from Linux with zig's Clang: libc++ and macOS's own headers and
# availability annotations as zig carries them, linked to Mach-O by zig's
# linker, with no Apple SDK. The target is VOSTRAL_ZIG_TARGET
# (x86_64-macos.10.15, aarch64-macos.11.0): the minimum macOS rides on the
# triple, so CMake passes no -arch, -isysroot or -mmacosx-version-min of its own.
# Nothing built here can run.
set(CMAKE_SYSTEM_NAME Darwin)
if("$ENV{VOSTRAL_ZIG_TARGET}" MATCHES "^aarch64-")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
elseif("$ENV{VOSTRAL_ZIG_TARGET}" MATCHES "^x86_64-")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
else()
  message(FATAL_ERROR "VOSTRAL_ZIG_TARGET must be an x86_64 or aarch64 macOS target, not '$ENV{VOSTRAL_ZIG_TARGET}'")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
# No SDK, no signing and no install-name rewriting: zig's linker does what
# macOS needs (an ad-hoc signature on arm64) by itself.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")
# CMake insists on an install_name_tool for C, which GoogleTest enables; it
# would only run when installing, which these trees never are.
find_program(CMAKE_INSTALL_NAME_TOOL NAMES true REQUIRED)

# The module links as a dylib, not a bundle: zig 0.17.1's linker crashes on
# -bundle. dlopen, and so CPython's import, takes either.
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake)
