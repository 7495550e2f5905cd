# Run as a script (cmake -P): writes DEF, a module-definition file for DLL
# naming every interpreter symbol that the OBJECTS import, each data symbol
# marked DATA as the HEADERS declare it, then LIBRARY, the import library that
# DLLTOOL makes from it.

set(names)
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} --undefined-only ${object}
    OUTPUT_VARIABLE undefined RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} could not read ${object}")
  endif()
  # The interpreter's names all begin Py or _Py; they arrive through import
  # slots (__imp_) because its headers declare them dllimport.
  string(REGEX MATCHALL "__imp__?Py[A-Za-z0-9_]*" imports "${undefined}")
  foreach(import IN LISTS imports)
    string(REGEX REPLACE "^__imp_" "" name "${import}")
    list(APPEND names ${name})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
if(NOT names)
  message(FATAL_ERROR "the module's objects import nothing from the interpreter")
endif()

set(headers)
foreach(directory IN LISTS HEADERS)
  file(GLOB_RECURSE found ${directory}/*.h)
  list(APPEND headers ${found})
endforeach()
set(declarations "")
foreach(header IN LISTS headers)
  file(STRINGS ${header} lines REGEX "PyAPI_DATA")
  string(APPEND declarations "${lines}\n")
endforeach()

set(text "LIBRARY ${DLL}\nEXPORTS\n")
foreach(name IN LISTS names)
  # PyAPI_DATA(PyObject *) PyExc_TypeError;  PyAPI_DATA(PyTypeObject) PyBaseObject_Type;
  if(declarations MATCHES "PyAPI_DATA\\([^)]*\\)[ \t*]*${name}[^A-Za-z0-9_]")
    string(APPEND text "  ${name} DATA\n")
  else()
    string(APPEND text "  ${name}\n")
  endif()
endforeach()
file(WRITE ${DEF} "${text}")

execute_process(COMMAND ${DLLTOOL} --input-def ${DEF} --dllname ${DLL} --output-lib ${LIBRARY}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${DLLTOOL} could not make ${LIBRARY}")
endif()
