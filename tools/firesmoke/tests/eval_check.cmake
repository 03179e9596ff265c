# `firesmoke eval` on a tiny manifest made here: one synthetic fire clip, one clip
# of the same room without fire, and one clip that does not exist. Then the same
# with an unknown label, which must fail naming its line before anything runs.
#   cmake -DEXE=firesmoke -DCLIPS=<folder of make_clips> -DWORK=<scratch folder> -P eval_check.cmake
cmake_minimum_required(VERSION 3.25)

function(fail message)
  message(FATAL_ERROR "${message}\n--- exit: ${rc}\n--- stdout:\n${out}\n--- stderr:\n${err}")
endfunction()

function(expect_json path expected)
  string(JSON _value ERROR_VARIABLE _error GET "${report}" ${path})
  if(_error)
    fail("JSON report: ${path}: ${_error}")
  endif()
  if(NOT "${_value}" MATCHES "${expected}")
    fail("JSON report: ${path} is '${_value}', expected '${expected}'")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/lists")
# Paths are relative to the manifest's folder, which is not the working folder.
file(RELATIVE_PATH clips "${WORK}/lists" "${CLIPS}")
file(WRITE "${WORK}/lists/manifest.csv"
  "label,note,path\n"
  "fire,\"synthetic, with flame\",${clips}/fire.avi\n"
  "\n"
  "negative,same room,${clips}/quiet.avi\n"
  "fire,not there,${clips}/missing.avi\n")

set(json "${WORK}/report.json")
set(sheet "${WORK}/sheet.png")
execute_process(COMMAND "${EXE}" eval --manifest "${WORK}/lists/manifest.csv" --json "${json}" --sheet "${sheet}"
  WORKING_DIRECTORY "${WORK}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "eval: exit ${rc}\n${out}")
if(NOT rc EQUAL 0)
  fail("eval of a manifest with a missing clip must succeed")
endif()

# One line per clip, then the summary as the last line.
if(NOT out MATCHES "missing\\.avi +skipped: cannot open")
  fail("the missing clip is not reported as skipped")
endif()
if(NOT err MATCHES "skipping [^\n]*missing\\.avi")
  fail("the missing clip is not reported on standard error")
endif()
string(REGEX REPLACE "\n$" "" trimmed "${out}")
string(REGEX MATCH "[^\n]*$" last "${trimmed}")
# The synthetic flame is plain to see and the room without it holds nothing that
# looks like fire: each clip has its own camera, so nothing carries over.
if(NOT last MATCHES "^recall 1/1 = 1\\.000, false alarms 0/1 = 0\\.000, mean delay [0-9.]+ s, [0-9.]+ ms/frame, 1 clip skipped \\(not counted\\)$")
  fail("unexpected summary line '${last}'")
endif()

file(READ "${json}" report)
foreach(key positives negatives detected false_alarms recall false_alarm_rate mean_alarm_delay_s mean_ms_per_frame)
  expect_json("summary;${key}" ".*")
endforeach()
expect_json("summary;positives" "^1$")
expect_json("summary;negatives" "^1$")
expect_json("summary;mean_ms_per_frame" "^[0-9.]+$")
string(JSON n_videos LENGTH "${report}" videos)
if(NOT n_videos EQUAL 3)
  fail("expected 3 videos in the JSON report, found ${n_videos}")
endif()
foreach(key path label alarm first_alarm_s frames mean_ms)
  expect_json("videos;0;${key}" ".*")
endforeach()
expect_json("videos;0;label" "^fire$")
expect_json("videos;0;frames" "^100$")
expect_json("videos;0;alarm" "^ON$")
expect_json("videos;1;label" "^negative$")
expect_json("videos;1;frames" "^100$")
expect_json("videos;1;alarm" "^OFF$")
expect_json("videos;2;skipped" "^cannot open$")
expect_json("videos;2;alarm" "^OFF$")
expect_json("videos;2;frames" "^0$")
string(JSON first_type TYPE "${report}" videos 2 first_alarm_s)
if(NOT first_type STREQUAL "NULL")
  fail("first_alarm_s of a skipped clip must be null")
endif()
# An alarm's time is its frame index over 25 fps: a multiple of 0.04 s.
string(JSON first GET "${report}" videos 0 first_alarm_s)
block()
  # The JSON holds the nearest double (0.48 may read 0.47999999999999998): round
  # to hundredths from the first three decimals.
  string(REGEX REPLACE "^([0-9]+)\\.?([0-9]?[0-9]?[0-9]?).*$" "\\1;\\2" parts "${first}")
  list(GET parts 0 whole)
  list(GET parts 1 frac)
  string(LENGTH "${frac}" frac_len)
  while(frac_len LESS 3)
    string(APPEND frac "0")
    math(EXPR frac_len "${frac_len} + 1")
  endwhile()
  string(REGEX REPLACE "^0+([0-9])" "\\1" frac "${frac}")
  math(EXPR hundredths "(${whole} * 1000 + ${frac} + 5) / 10")
  math(EXPR rest "${hundredths} % 4")
  if(NOT rest EQUAL 0)
    fail("first_alarm_s ${first} is not a frame time at 25 fps")
  endif()
endblock()

if(NOT EXISTS "${sheet}")
  fail("the contact sheet was not written")
endif()

# The figures do not depend on where the footage lies: the same manifest beside the
# same clip, in two folders, gives the same alarm times. (Each line is a camera of its
# own, and a camera's answers may depend on its name.)
foreach(place one another-place)
  file(MAKE_DIRECTORY "${WORK}/${place}")
  file(COPY "${CLIPS}/fire.avi" DESTINATION "${WORK}/${place}")
  file(WRITE "${WORK}/${place}/manifest.csv" "path,label\n")
  foreach(copy RANGE 1 6)
    file(APPEND "${WORK}/${place}/manifest.csv" "fire.avi,fire\n")
  endforeach()
  execute_process(COMMAND "${EXE}" eval --manifest "${WORK}/${place}/manifest.csv" --json "${WORK}/${place}.json"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    fail("eval of the clip in ${place} failed")
  endif()
  file(READ "${WORK}/${place}.json" placed)
  set(times_${place} "")
  foreach(i RANGE 5)
    string(JSON t GET "${placed}" videos ${i} first_alarm_s)
    list(APPEND times_${place} "${t}")
  endforeach()
endforeach()
if(NOT times_one STREQUAL times_another-place)
  fail("the same clips gave alarms at ${times_one} s in one folder and at ${times_another-place} s in another")
endif()

# An unknown label fails, names file and line, and evaluates nothing.
file(WRITE "${WORK}/lists/bad.csv"
  "path,label\r\n"
  "${clips}/fire.avi,fire\r\n"
  "${clips}/quiet.avi,flame\r\n")
file(REMOVE "${json}")
execute_process(COMMAND "${EXE}" eval --manifest "${WORK}/lists/bad.csv" --json "${json}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "eval with a bad label: exit ${rc}\n${err}")
if(NOT rc MATCHES "^[0-9]+$" OR rc EQUAL 0)
  fail("a bad label must end eval with a non-zero exit")
endif()
if(NOT err MATCHES "bad\\.csv:3: unknown label 'flame'")
  fail("the error must name the file, line 3 and the label")
endif()
if(NOT out STREQUAL "" OR EXISTS "${json}")
  fail("nothing may be evaluated when the manifest is bad")
endif()
