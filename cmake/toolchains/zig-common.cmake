# What every zig toolchain here shares, included once the target's system and
# processor are set: zig's Clang through the wrappers beside this file (the
# ziglang package's zig, VOSTRAL_ZIG, else zig on PATH), and nothing of the
# host's libraries or headers.

# CMake's checks run again (try_compile) in fresh processes: the target must reach them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CMAKE_SYSTEM_PROCESSOR)

set(vostral_zig_wrappers ${CMAKE_CURRENT_LIST_DIR}/zig)
set(CMAKE_C_COMPILER ${vostral_zig_wrappers}/cc)
set(CMAKE_CXX_COMPILER ${vostral_zig_wrappers}/c++)
set(CMAKE_AR ${vostral_zig_wrappers}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${vostral_zig_wrappers}/ranlib CACHE FILEPATH "")

# Programs (the host Python that dumps test data) come from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
