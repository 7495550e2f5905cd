# Read after CMake's Darwin rules (see zig-macos.cmake): a module is a dylib.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-headerpad_max_install_names")
