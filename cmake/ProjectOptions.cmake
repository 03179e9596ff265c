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

# GCC-style flags for GCC and Clang, but not for clang-cl, which takes MSVC's.
if(CMAKE_CXX_COMPILER_FRONTEND_VARIANT STREQUAL "MSVC")
  set(_gnu_like "0")
  set(_msvc_like "1")
else()
  set(_gnu_like "$<OR:$<CXX_COMPILER_ID:GNU>,$<CXX_COMPILER_ID:Clang>,$<CXX_COMPILER_ID:AppleClang>>")
  set(_msvc_like "$<CXX_COMPILER_ID:MSVC>")
endif()
target_compile_options(firesmoke_options INTERFACE
  "$<${_gnu_like}:-Wall;-Wextra;-Wpedantic;-Wconversion;-Woverloaded-virtual>"
  # C4251: exported classes hold standard-library members; host and plug-in share one runtime.
  "$<${_msvc_like}:/W4;/permissive-;/wd4251>")
if(FIRESMOKE_WARNINGS_AS_ERRORS)
  target_compile_options(firesmoke_options INTERFACE
    "$<${_gnu_like}:-Werror>" "$<${_msvc_like}:/WX>")
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
