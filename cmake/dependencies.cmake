# Finds oneTBB (TBB::tbb) and nlohmann/json (nlohmann_json::nlohmann_json) as
# LARKSPAN_DEPENDENCIES says. Sets LARKSPAN_TBB_FROM_PYTHON and, when it is
# true, LARKSPAN_PYTHON_LIBDIR: the path from the installed module's folder
# to where the tbb package puts its libraries.
#
# The Python packages' locations are looked up again on every configure, so a
# build folder reused by another environment (an isolated pip build after a
# developer build) never keeps the other environment's paths.

set(LARKSPAN_TBB_FROM_PYTHON OFF)
set(_larkspan_json_include "")
if(NOT LARKSPAN_DEPENDENCIES STREQUAL "system")
  find_package(Python 3.11 COMPONENTS Interpreter)
  if(Python_Interpreter_FOUND)
    set(_larkspan_probe ${Python_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/python_packages.py)
    execute_process(COMMAND ${_larkspan_probe} file tbb-devel cmake/tbb/TBBConfig.cmake
      OUTPUT_VARIABLE _larkspan_tbb_config OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${_larkspan_probe} file nlohmann-json nlohmann_json/include/nlohmann/json.hpp
      OUTPUT_VARIABLE _larkspan_json_header OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    if(_larkspan_tbb_config)
      get_filename_component(_larkspan_tbb_dir "${_larkspan_tbb_config}" DIRECTORY)
      set(TBB_DIR "${_larkspan_tbb_dir}" CACHE PATH "oneTBB's CMake package" FORCE)
      set(LARKSPAN_TBB_FROM_PYTHON ON)
      execute_process(COMMAND ${_larkspan_probe} libdir-from-package larkspan/splat
        OUTPUT_VARIABLE LARKSPAN_PYTHON_LIBDIR OUTPUT_STRIP_TRAILING_WHITESPACE
        COMMAND_ERROR_IS_FATAL ANY)
    endif()
    if(_larkspan_json_header)
      get_filename_component(_larkspan_json_include "${_larkspan_json_header}" DIRECTORY)
      get_filename_component(_larkspan_json_include "${_larkspan_json_include}" DIRECTORY)
    endif()
  endif()
  if(LARKSPAN_DEPENDENCIES STREQUAL "python" AND (NOT LARKSPAN_TBB_FROM_PYTHON OR NOT _larkspan_json_include))
    message(FATAL_ERROR "LARKSPAN_DEPENDENCIES=python needs the packages tbb-devel and nlohmann-json "
                        "installed for ${Python_EXECUTABLE}")
  endif()
endif()

# A TBB_DIR this file set for one environment's package is not kept for a
# build that has no such package.
if(LARKSPAN_TBB_FROM_PYTHON)
  set(LARKSPAN_TBB_DIR_SET_HERE "${TBB_DIR}" CACHE INTERNAL "")
elseif(DEFINED LARKSPAN_TBB_DIR_SET_HERE AND TBB_DIR STREQUAL LARKSPAN_TBB_DIR_SET_HERE)
  unset(TBB_DIR CACHE)
  unset(LARKSPAN_TBB_DIR_SET_HERE CACHE)
endif()

find_package(TBB REQUIRED COMPONENTS tbb)

if(_larkspan_json_include)
  # The nlohmann-json package ships the headers only, no CMake package.
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE "${_larkspan_json_include}")
else()
  find_package(nlohmann_json 3.10 REQUIRED)
endif()

message(STATUS "oneTBB ${TBB_VERSION} from ${TBB_DIR}")
if(_larkspan_json_include)
  message(STATUS "nlohmann/json from ${_larkspan_json_include}")
else()
  message(STATUS "nlohmann/json ${nlohmann_json_VERSION} from ${nlohmann_json_DIR}")
endif()
