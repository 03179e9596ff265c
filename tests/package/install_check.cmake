# Installs the build tree into a fresh prefix and checks what landed there.
#   cmake -DBUILD_DIR=<build> -DCONFIG=<config> -DPREFIX=<dir> -DEXPECT=<expect.cmake>
#         -P install_check.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT EXISTS "${EXPECT}")
  message(FATAL_ERROR "${EXPECT} is missing: the build does not include cmake/Install.cmake")
endif()
include("${EXPECT}")

set(_problems "")
macro(problem text)
  string(APPEND _problems "\n  ${text}")
endmacro()

file(REMOVE_RECURSE "${PREFIX}")
set(_config "")
if(CONFIG)
  set(_config --config "${CONFIG}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" ${_config}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

foreach(_f IN LISTS EXPECT_FILES)
  if(NOT EXISTS "${PREFIX}/${_f}" OR IS_DIRECTORY "${PREFIX}/${_f}")
    problem("missing file ${_f}")
  endif()
endforeach()
# Shared-library links: "link|target".
foreach(_entry IN LISTS EXPECT_LINKS)
  string(REPLACE "|" ";" _pair "${_entry}")
  list(GET _pair 0 _link)
  list(GET _pair 1 _target)
  if(NOT IS_SYMLINK "${PREFIX}/${_link}")
    problem("${_link} is not a symbolic link")
  else()
    file(READ_SYMLINK "${PREFIX}/${_link}" _actual)
    if(NOT _actual STREQUAL _target)
      problem("${_link} points to '${_actual}', not '${_target}'")
    endif()
  endif()
endforeach()

# The installed package must not lead back into the source or build tree: it has
# to work after the build tree is gone or the prefix is moved.
file(GLOB_RECURSE _cmake_files "${PREFIX}/*.cmake")
foreach(_f IN LISTS _cmake_files)
  file(READ "${_f}" _text)
  foreach(_tree IN ITEMS "${SOURCE_TREE}" "${BUILD_TREE}")
    string(FIND "${_text}" "${_tree}/" _at)
    if(NOT _at EQUAL -1)
      file(RELATIVE_PATH _rel "${PREFIX}" "${_f}")
      problem("${_rel} refers to ${_tree}")
    endif()
  endforeach()
endforeach()

# The installed tool runs from the prefix, finding the installed library.
if(EXPECT_TOOL AND EXISTS "${PREFIX}/${EXPECT_TOOL}")
  if(CMAKE_HOST_WIN32)
    set(ENV{PATH} "${PREFIX}/bin;$ENV{PATH}")
  endif()
  execute_process(COMMAND "${PREFIX}/${EXPECT_TOOL}" --version
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "^firesmoke ${EXPECT_VERSION}\n$")
    problem("installed ${EXPECT_TOOL} --version: exit ${rc}, output '${out}' ${err}")
  endif()
endif()

if(_problems)
  message(FATAL_ERROR "installed tree ${PREFIX}:${_problems}")
endif()
list(LENGTH EXPECT_FILES _n)
message(STATUS "installed tree ${PREFIX}: ${_n} expected files in place")
