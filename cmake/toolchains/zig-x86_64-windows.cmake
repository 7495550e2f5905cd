# 64-bit Windows from Linux with zig's Clang: libc++ and libunwind linked into
# the module, the C library taken from the Universal CRT that CPython itself
# uses (api-ms-win-crt-*.dll), so that the module shares the interpreter's
# file descriptors, heap and locale and needs no runtime DLL of its own.
# The compiler is the ziglang package's zig (VOSTRAL_ZIG, else zig on PATH),
# reached through the small wrappers beside this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(vostral_zig_wrappers ${CMAKE_CURRENT_LIST_DIR}/zig)
set(CMAKE_C_COMPILER ${vostral_zig_wrappers}/cc)
set(CMAKE_CXX_COMPILER ${vostral_zig_wrappers}/c++)
set(CMAKE_AR ${vostral_zig_wrappers}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${vostral_zig_wrappers}/ranlib CACHE FILEPATH "")
set(CMAKE_RC_COMPILER ${vostral_zig_wrappers}/rc)
set(CMAKE_DLLTOOL ${vostral_zig_wrappers}/dlltool CACHE FILEPATH "")

# Nothing of the host's libraries or headers; programs (the host Python that
# dumps test data) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
