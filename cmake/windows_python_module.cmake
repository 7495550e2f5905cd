# The extension module for 64-bit Windows, built by a cross compiler against a
# CPython's own headers, without that interpreter at hand. The import library
# for the interpreter's DLL is made here from what the headers declare, so
# nothing of a Windows installation is needed.
#
#   VOSTRAL_PYTHON_DLL            python311.dll, or python3.dll for the stable ABI
#   VOSTRAL_PYTHON_INCLUDE_DIRS   the headers: Include/ and the directory of pyconfig.h
#   VOSTRAL_PYTHON_STABLE_ABI_LIST  for python3.dll: PC/python3dll.c of the same sources,
#                                 the exact list of what that DLL exports
#   VOSTRAL_PYTHON_LIMITED_API    Py_LIMITED_API's value for a stable-ABI build
#                                 (0x030A0000), empty for the full API
#   VOSTRAL_PYTHON_MODULE_SUFFIX  the file name after "vostral"

set(VOSTRAL_PYTHON_INCLUDE_DIRS "" CACHE STRING "Include directories of the CPython the module is built for")
set(VOSTRAL_PYTHON_STABLE_ABI_LIST "" CACHE FILEPATH "PC/python3dll.c: what python3.dll exports")
set(VOSTRAL_PYTHON_LIMITED_API "" CACHE STRING "Py_LIMITED_API for a stable-ABI module; empty for the full API")
set(VOSTRAL_PYTHON_MODULE_SUFFIX ".pyd" CACHE STRING "File name suffix of the module")
if(NOT WIN32)
  message(FATAL_ERROR "VOSTRAL_PYTHON_DLL is for builds that target Windows")
endif()
if(NOT VOSTRAL_PYTHON_INCLUDE_DIRS)
  message(FATAL_ERROR "VOSTRAL_PYTHON_DLL needs VOSTRAL_PYTHON_INCLUDE_DIRS")
endif()
if(VOSTRAL_PYTHON_LIMITED_API AND NOT VOSTRAL_PYTHON_STABLE_ABI_LIST)
  message(FATAL_ERROR "a stable-ABI module needs VOSTRAL_PYTHON_STABLE_ABI_LIST (PC/python3dll.c)")
endif()
if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool llvm-dlltool dlltool REQUIRED)
endif()

# The names the DLL exports. python3.dll's are listed exactly in python3dll.c;
# for a versioned DLL every name the headers declare will do: an import
# library entry that the module never uses is never imported.
set(python_names)
if(VOSTRAL_PYTHON_LIMITED_API)
  file(STRINGS ${VOSTRAL_PYTHON_STABLE_ABI_LIST} exports REGEX "^EXPORT_(FUNC|DATA)\\([A-Za-z0-9_]+\\)$")
  foreach(line IN LISTS exports)
    string(REGEX REPLACE "^EXPORT_(FUNC|DATA)\\(([A-Za-z0-9_]+)\\)$" "\\1 \\2" entry "${line}")
    list(APPEND python_names "${entry}")
  endforeach()
else()
  set(headers)
  foreach(directory IN LISTS VOSTRAL_PYTHON_INCLUDE_DIRS)
    file(GLOB_RECURSE found ${directory}/*.h)
    list(APPEND headers ${found})
  endforeach()
  foreach(header IN LISTS headers)
    file(READ ${header} text)
    # PyAPI_FUNC(PyObject *) PyLong_FromLong(long);   PyAPI_DATA(PyTypeObject) PyLong_Type;
    string(REGEX MATCHALL "PyAPI_(FUNC|DATA)\\([^)]*\\)[ \t\r\n*]*[A-Za-z_][A-Za-z0-9_]*" declared "${text}")
    foreach(declaration IN LISTS declared)
      string(REGEX REPLACE "^PyAPI_(FUNC|DATA)\\([^)]*\\)[ \t\r\n*]*([A-Za-z0-9_]+)$" "\\1 \\2" entry "${declaration}")
      list(APPEND python_names "${entry}")
    endforeach()
  endforeach()
endif()
list(REMOVE_DUPLICATES python_names)
list(SORT python_names)
if(NOT python_names)
  message(FATAL_ERROR "no exported names found for ${VOSTRAL_PYTHON_DLL}")
endif()

string(REGEX REPLACE "\\.dll$" "" python_dll_stem "${VOSTRAL_PYTHON_DLL}")
set(python_def ${CMAKE_CURRENT_BINARY_DIR}/${python_dll_stem}.def)
set(python_import_library ${CMAKE_CURRENT_BINARY_DIR}/lib${python_dll_stem}.dll.a)
set(def_text "LIBRARY ${VOSTRAL_PYTHON_DLL}\nEXPORTS\n")
foreach(entry IN LISTS python_names)
  string(REPLACE " " ";" entry "${entry}")
  list(GET entry 0 kind)
  list(GET entry 1 name)
  if(kind STREQUAL "DATA")
    string(APPEND def_text "  ${name} DATA\n")
  else()
    string(APPEND def_text "  ${name}\n")
  endif()
endforeach()
file(WRITE ${python_def}.new "${def_text}")
file(COPY_FILE ${python_def}.new ${python_def} ONLY_IF_DIFFERENT)
execute_process(
  COMMAND ${CMAKE_DLLTOOL} -d ${python_def} -D ${VOSTRAL_PYTHON_DLL} -l ${python_import_library}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${CMAKE_DLLTOOL} could not make the import library for ${VOSTRAL_PYTHON_DLL}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VOSTRAL_PYTHON_STABLE_ABI_LIST})

add_library(vostral MODULE ${vostral_module_sources})
target_include_directories(vostral SYSTEM PRIVATE ${VOSTRAL_PYTHON_INCLUDE_DIRS})
if(VOSTRAL_PYTHON_LIMITED_API)
  target_compile_definitions(vostral PRIVATE Py_LIMITED_API=${VOSTRAL_PYTHON_LIMITED_API})
endif()
target_link_libraries(vostral PRIVATE ${python_import_library})
set_target_properties(vostral PROPERTIES PREFIX "" SUFFIX "${VOSTRAL_PYTHON_MODULE_SUFFIX}")
