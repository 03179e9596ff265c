# Builds the targets the install rules copy, so that installing never picks up a
# stale or missing file. Nothing to do after a full build.
#   cmake -DBUILD_DIR=<build> -DCONFIG=<config> -DTARGETS=a|b -P build_targets.cmake
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" _targets "${TARGETS}")
set(_config "")
if(CONFIG)
  set(_config --config "${CONFIG}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BUILD_DIR}" ${_config} --target ${_targets}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building ${_targets} failed (${rc}):\n${out}")
endif()
