# The extension module for 64-bit Windows, built by a cross compiler against a
# CPython's own headers, without that interpreter at hand. The import library
# for the interpreter's DLL is made here from exactly the symbols the module's
# objects import, so nothing of a Windows installation is needed.
#
#   VOSTRAL_PYTHON_DLL            python311.dll, or python3.dll for the stable ABI
#   VOSTRAL_PYTHON_INCLUDE_DIRS   the headers: Include/ and the directory of pyconfig.h
#   VOSTRAL_PYTHON_LIMITED_API    Py_LIMITED_API's value for a stable-ABI build
#                                 (0x030A0000), empty for the full API
#   VOSTRAL_PYTHON_MODULE_SUFFIX  the file name after "vostral"

set(VOSTRAL_PYTHON_INCLUDE_DIRS "" CACHE STRING "Include directories of the CPython the module is built for")
set(VOSTRAL_PYTHON_LIMITED_API "" CACHE STRING "Py_LIMITED_API for a stable-ABI module; empty for the full API")
set(VOSTRAL_PYTHON_MODULE_SUFFIX ".pyd" CACHE STRING "File name suffix of the module")
if(NOT WIN32)
  message(FATAL_ERROR "VOSTRAL_PYTHON_DLL is for builds that target Windows")
endif()
if(NOT VOSTRAL_PYTHON_INCLUDE_DIRS)
  message(FATAL_ERROR "VOSTRAL_PYTHON_DLL needs VOSTRAL_PYTHON_INCLUDE_DIRS")
endif()
if(CMAKE_DLLTOOL)
  set(VOSTRAL_DLLTOOL ${CMAKE_DLLTOOL})
else()
  find_program(VOSTRAL_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
endif()

add_library(vostral_module_objects OBJECT ${vostral_module_sources})
target_include_directories(vostral_module_objects SYSTEM PRIVATE ${VOSTRAL_PYTHON_INCLUDE_DIRS})
target_link_libraries(vostral_module_objects PRIVATE vostral_core)
if(VOSTRAL_PYTHON_LIMITED_API)
  target_compile_definitions(vostral_module_objects PRIVATE Py_LIMITED_API=${VOSTRAL_PYTHON_LIMITED_API})
endif()
vostral_warnings(vostral_module_objects)
target_compile_options(vostral_module_objects PRIVATE ${vostral_binding_flags})

string(REGEX REPLACE "\\.dll$" "" python_dll_stem "${VOSTRAL_PYTHON_DLL}")
set(python_def ${CMAKE_CURRENT_BINARY_DIR}/${python_dll_stem}.def)
set(python_import_library ${CMAKE_CURRENT_BINARY_DIR}/lib${python_dll_stem}.dll.a)
add_custom_command(
  OUTPUT ${python_def} ${python_import_library}
  COMMAND ${CMAKE_COMMAND}
    "-DOBJECTS=$<TARGET_OBJECTS:vostral_module_objects>"
    "-DHEADERS=${VOSTRAL_PYTHON_INCLUDE_DIRS}"
    -DNM=${CMAKE_NM} -DDLLTOOL=${VOSTRAL_DLLTOOL} -DDLL=${VOSTRAL_PYTHON_DLL}
    -DDEF=${python_def} -DLIBRARY=${python_import_library}
    -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/python_import_library.cmake
  DEPENDS vostral_module_objects $<TARGET_OBJECTS:vostral_module_objects>
    ${CMAKE_CURRENT_SOURCE_DIR}/cmake/python_import_library.cmake
  COMMENT "Import library for ${VOSTRAL_PYTHON_DLL}"
  VERBATIM)
add_custom_target(vostral_python_imports DEPENDS ${python_import_library})

add_library(vostral MODULE $<TARGET_OBJECTS:vostral_module_objects>)
add_dependencies(vostral vostral_python_imports)
target_link_libraries(vostral PRIVATE ${python_import_library})
set_target_properties(vostral PROPERTIES PREFIX "" SUFFIX "${VOSTRAL_PYTHON_MODULE_SUFFIX}")
