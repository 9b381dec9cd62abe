# Found instead of CMake's own FindPython when a wheel is built for a CPython
# whose headers are at hand but which cannot run in the build root: another
# interpreter (Python_EXECUTABLE, given by scikit-build-core) drives the
# build, and the module is compiled against the headers in
# PATCHWELL_TARGET_PYTHON_INCLUDE_DIR. An extension module on Linux links no
# libpython, so the headers and the file name suffix are all it takes.
set(_pw_inc "${PATCHWELL_TARGET_PYTHON_INCLUDE_DIR}")
if(NOT EXISTS "${_pw_inc}/Python.h" OR NOT EXISTS "${_pw_inc}/patchlevel.h")
  message(FATAL_ERROR "PATCHWELL_TARGET_PYTHON_INCLUDE_DIR='${_pw_inc}' holds no Python.h")
endif()
if(NOT Python_EXECUTABLE)
  message(FATAL_ERROR "no Python_EXECUTABLE to drive the build")
endif()

file(STRINGS "${_pw_inc}/patchlevel.h" _pw_version REGEX "^#define PY_VERSION ")
string(REGEX MATCH "([0-9]+)\\.([0-9]+)\\.([0-9]+)" Python_VERSION "${_pw_version}")
set(Python_VERSION_MAJOR ${CMAKE_MATCH_1})
set(Python_VERSION_MINOR ${CMAKE_MATCH_2})
set(Python_VERSION_PATCH ${CMAKE_MATCH_3})
if(Python_FIND_VERSION AND Python_VERSION VERSION_LESS Python_FIND_VERSION)
  message(FATAL_ERROR "Python ${Python_VERSION} is older than ${Python_FIND_VERSION}")
endif()

set(Python_INCLUDE_DIRS "${_pw_inc}")
set(Python_SOABI "cpython-${Python_VERSION_MAJOR}${Python_VERSION_MINOR}-x86_64-linux-gnu")
set(Python_FOUND TRUE)
set(Python_Interpreter_FOUND TRUE)
set(Python_Development.Module_FOUND TRUE)
set(Python_INTERPRETER_ID Python)

# What pybind11 would otherwise ask the driving interpreter (whose answers
# are those of another version).
set(PYTHON_IS_DEBUG 0)
set(PYTHON_MODULE_EXTENSION ".${Python_SOABI}.so")
set(PYTHON_MODULE_DEBUG_POSTFIX "")

if(NOT TARGET Python::Interpreter)
  add_executable(Python::Interpreter IMPORTED)
  set_property(TARGET Python::Interpreter PROPERTY IMPORTED_LOCATION "${Python_EXECUTABLE}")
endif()
if(NOT TARGET Python::Module)
  add_library(Python::Module INTERFACE IMPORTED)
  set_property(TARGET Python::Module PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${_pw_inc}")
endif()

# A module: a shared library without the lib prefix, linked to no libpython.
function(python_add_library name type)
  set(sources ${ARGN})
  list(REMOVE_ITEM sources WITH_SOABI)
  add_library(${name} ${type} ${sources})
  target_link_libraries(${name} PRIVATE Python::Module)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX "${PYTHON_MODULE_EXTENSION}")
endfunction()

message(STATUS "Python ${Python_VERSION} headers in ${_pw_inc}, built with ${Python_EXECUTABLE}")
