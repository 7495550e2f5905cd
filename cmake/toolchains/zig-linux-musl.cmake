# Static Linux programs on musl from zig's Clang: libc++, libunwind and musl
# linked in, so one file runs on any Linux kernel of its processor, with no C
# library or loader of the system's. The target is VOSTRAL_ZIG_TARGET
# (x86_64-linux-musl, aarch64-linux-musl). The compiler is the ziglang
# package's zig (VOSTRAL_ZIG, else zig on PATH), reached through the wrappers
# beside this file.
set(CMAKE_SYSTEM_NAME Linux)
if("$ENV{VOSTRAL_ZIG_TARGET}" MATCHES "^aarch64-linux-musl$")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
elseif("$ENV{VOSTRAL_ZIG_TARGET}" MATCHES "^x86_64-linux-musl$")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
else()
  message(FATAL_ERROR "VOSTRAL_ZIG_TARGET must be x86_64-linux-musl or aarch64-linux-musl, not '$ENV{VOSTRAL_ZIG_TARGET}'")
endif()
# CMake's checks run again (try_compile) in fresh processes: the target must reach them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CMAKE_SYSTEM_PROCESSOR)

set(vostral_zig_wrappers ${CMAKE_CURRENT_LIST_DIR}/zig)
set(CMAKE_C_COMPILER ${vostral_zig_wrappers}/cc)
set(CMAKE_CXX_COMPILER ${vostral_zig_wrappers}/c++)
set(CMAKE_AR ${vostral_zig_wrappers}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${vostral_zig_wrappers}/ranlib CACHE FILEPATH "")
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Nothing of the host's libraries or headers; programs (the host Python that
# dumps test data) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
