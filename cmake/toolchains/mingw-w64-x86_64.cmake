# 64-bit Windows from Linux with MinGW-w64's GCC, in its POSIX-threads form
# (std::thread and std::mutex need it). Debian: g++-mingw-w64-x86-64-posix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(vostral_mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${vostral_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${vostral_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${vostral_mingw_triple}-windres)

# Libraries and headers from the target's tree only; programs (the host
# Python that dumps test data) from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${vostral_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
