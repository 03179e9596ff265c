# Project-wide build options as an interface target: every target of ours links
# FireSmoke::options and gets the same warnings and sanitizer flags.
option(FIRESMOKE_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
set(FIRESMOKE_SANITIZER "" CACHE STRING "Sanitizer build: '', 'address' (address+undefined) or 'thread'")
set_property(CACHE FIRESMOKE_SANITIZER PROPERTY STRINGS "" address thread)

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

add_library(firesmoke_options INTERFACE)
add_library(FireSmoke::options ALIAS firesmoke_options)
target_compile_features(firesmoke_options INTERFACE cxx_std_17)

set(_gnu_like "$<OR:$<CXX_COMPILER_ID:GNU>,$<CXX_COMPILER_ID:Clang>,$<CXX_COMPILER_ID:AppleClang>>")
target_compile_options(firesmoke_options INTERFACE
  "$<${_gnu_like}:-Wall;-Wextra;-Wpedantic;-Wconversion;-Woverloaded-virtual>"
  "$<$<CXX_COMPILER_ID:MSVC>:/W4;/permissive->")
if(FIRESMOKE_WARNINGS_AS_ERRORS)
  target_compile_options(firesmoke_options INTERFACE
    "$<${_gnu_like}:-Werror>" "$<$<CXX_COMPILER_ID:MSVC>:/WX>")
endif()

if(FIRESMOKE_SANITIZER STREQUAL "address")
  set(_san "-fsanitize=address,undefined;-fno-sanitize-recover=undefined;-fno-omit-frame-pointer")
elseif(FIRESMOKE_SANITIZER STREQUAL "thread")
  set(_san "-fsanitize=thread;-fno-omit-frame-pointer")
elseif(NOT FIRESMOKE_SANITIZER STREQUAL "")
  message(FATAL_ERROR "FIRESMOKE_SANITIZER must be '', 'address' or 'thread', not '${FIRESMOKE_SANITIZER}'")
endif()
if(DEFINED _san)
  target_compile_options(firesmoke_options INTERFACE "$<${_gnu_like}:${_san}>")
  target_link_options(firesmoke_options INTERFACE "$<${_gnu_like}:${_san}>")
endif()
