# Configures, builds and runs consumer/ against an installed prefix only, with the
# generator and compiler of the main build.
#   cmake -DSOURCE=<consumer> -DBINARY=<dir> -DPREFIX=<installed> -DCONFIG=<config>
#         -DGENERATOR=... [-DGENERATOR_PLATFORM= -DGENERATOR_TOOLSET= -DMAKE_PROGRAM=
#         -DCXX_COMPILER= -DTOOLCHAIN_FILE= -DOPENCV_DIR=] -DVERSION=<x.y.z>
#         -DREQUIRED_VERSION=<x.y> -P consumer_check.cmake
cmake_minimum_required(VERSION 3.25)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${BINARY}")
set(_configure -S "${SOURCE}" -B "${BINARY}" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DFIRESMOKE_REQUIRED_VERSION=${REQUIRED_VERSION}")
if(GENERATOR_PLATFORM)
  list(APPEND _configure -A "${GENERATOR_PLATFORM}")
endif()
if(GENERATOR_TOOLSET)
  list(APPEND _configure -T "${GENERATOR_TOOLSET}")
endif()
foreach(_pair IN ITEMS "MAKE_PROGRAM|CMAKE_MAKE_PROGRAM" "CXX_COMPILER|CMAKE_CXX_COMPILER"
                       "TOOLCHAIN_FILE|CMAKE_TOOLCHAIN_FILE" "OPENCV_DIR|OpenCV_DIR"
                       "CONFIG|CMAKE_BUILD_TYPE")
  string(REPLACE "|" ";" _pair "${_pair}")
  list(GET _pair 0 _in)
  list(GET _pair 1 _var)
  if(${_in})
    list(APPEND _configure "-D${_var}=${${_in}}")
  endif()
endforeach()
run("configuring the consumer" "${CMAKE_COMMAND}" ${_configure})
set(_config "")
if(CONFIG)
  set(_config --config "${CONFIG}")
endif()
run("building the consumer" "${CMAKE_COMMAND}" --build "${BINARY}" ${_config})

# Single-configuration generators put the program in the build folder, the others
# in a folder named after the configuration.
set(_exe "")
foreach(_candidate IN ITEMS "${BINARY}/firesmoke_consumer" "${BINARY}/firesmoke_consumer.exe"
                            "${BINARY}/${CONFIG}/firesmoke_consumer" "${BINARY}/${CONFIG}/firesmoke_consumer.exe")
  if(NOT _exe AND EXISTS "${_candidate}" AND NOT IS_DIRECTORY "${_candidate}")
    set(_exe "${_candidate}")
  endif()
endforeach()
if(NOT _exe)
  message(FATAL_ERROR "the consumer program was not found in ${BINARY}")
endif()
if(CMAKE_HOST_WIN32)
  set(ENV{PATH} "${PREFIX}/bin;$ENV{PATH}")
endif()
run("running ${_exe}" "${_exe}")
message(STATUS "consumer output:\n${out}")

string(REPLACE "." "\\." _version "${VERSION}")
foreach(_regex IN ITEMS
    "package version: ${_version}\n"
    "model folder: [^\n]*/VEKCustomFireNSmokeDetection/VEK_FireSmoke_v[^\n/]*\n"
    "label map: fire,background,smoke\n"
    "optimised: yes\n"
    "detections: [0-9]+\n"
    "destroyed\n")
  if(NOT out MATCHES "${_regex}")
    message(FATAL_ERROR "the consumer's output does not match '${_regex}'")
  endif()
endforeach()
# The model folder must be the installed one, not a copy elsewhere.
string(REGEX MATCH "model folder: ([^\n]*)\n" _ "${out}")
file(REAL_PATH "${CMAKE_MATCH_1}" _model)
file(REAL_PATH "${PREFIX}" _prefix)
string(FIND "${_model}" "${_prefix}/" _at)
if(NOT _at EQUAL 0)
  message(FATAL_ERROR "the package's model folder ${_model} is not under the prefix ${_prefix}")
endif()
