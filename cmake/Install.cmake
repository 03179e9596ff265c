# Installation of the plug-in, the CMake package hosts find it through, and the
# Debian package.
#
#   cmake --install <build> [--prefix <dir>]
#     include/                        IVEKCustomClass.h, VEKCustomFS.h, vekcustomfs_export.h
#     <libdir>/                       libVEKCustomFireNSmokeDetection.so.<version> and its SONAME links
#                                     (Windows: the DLL goes to bin/, its import library to lib/)
#     <libdir>/cmake/VEKCustomFireNSmokeDetection/
#                                     the package: find_package(VEKCustomFireNSmokeDetection CONFIG)
#                                     gives VEK::FireNSmokeDetection and
#                                     VEKCustomFireNSmokeDetection_MODEL_DIR
#     share/VEKCustomFireNSmokeDetection/VEK_FireSmoke_v2.0/
#                                     the model folder, every file of models/VEK_FireSmoke_v2.0
#     bin/firesmoke                   the command-line tool (its own install rule, tools/firesmoke)
#
#   cpack -G DEB   (from the build folder)
#     vekcustomfiresmoke_<version>_<arch>.deb with the same files under
#     CMAKE_INSTALL_PREFIX. The firesmoke tool has the installed model folder's full
#     path compiled in, so the package installs where the build was configured to:
#     configure with -DCMAKE_INSTALL_PREFIX=/usr for a distribution package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(FIRESMOKE_PACKAGE VEKCustomFireNSmokeDetection)
set(FIRESMOKE_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/${FIRESMOKE_PACKAGE}" CACHE STRING
    "Where the CMake package files are installed, relative to the prefix")
mark_as_advanced(FIRESMOKE_INSTALL_CMAKEDIR)
# Relative to the prefix; the package config turns it into an absolute path
# wherever the tree ends up.
get_filename_component(_firesmoke_model_name "${FIRESMOKE_MODEL_SOURCE_DIR}" NAME)
set(FIRESMOKE_INSTALL_MODELDIR "${CMAKE_INSTALL_DATADIR}/${FIRESMOKE_PACKAGE}/${_firesmoke_model_name}")

# --- The library and its headers -------------------------------------------------
# Exported as VEK::FireNSmokeDetection, the name hosts already use in the build tree.
set_target_properties(VEKCustomFireNSmokeDetection PROPERTIES EXPORT_NAME FireNSmokeDetection)

# The stage library firesmoke_core is linked privately through $<BUILD_INTERFACE:...>
# and FireSmoke::options privately into a shared library, so neither appears in the
# exported link interface; only opencv_core (public) does.
install(TARGETS VEKCustomFireNSmokeDetection
  EXPORT VEKCustomFireNSmokeDetectionTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")

get_target_property(_firesmoke_lib_bindir VEKCustomFireNSmokeDetection BINARY_DIR)
install(FILES
    "${PROJECT_SOURCE_DIR}/include/IVEKCustomClass.h"
    "${PROJECT_SOURCE_DIR}/include/VEKCustomFS.h"
    "${_firesmoke_lib_bindir}/include/vekcustomfs_export.h"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

# --- The model folder ------------------------------------------------------------
# The trailing slash installs the folder's contents, whatever files it holds.
install(DIRECTORY "${FIRESMOKE_MODEL_SOURCE_DIR}/"
  DESTINATION "${FIRESMOKE_INSTALL_MODELDIR}")

# --- The command-line tool -------------------------------------------------------
# tools/firesmoke installs it to bin/. On ELF platforms it finds the library in
# ../<libdir> relative to itself unless that folder is one the linker searches
# anyway, so an installed tree works wherever it is unpacked.
if(TARGET firesmoke AND UNIX AND NOT APPLE)
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" _firesmoke_system_libdir)
  if(_firesmoke_system_libdir EQUAL -1)
    file(RELATIVE_PATH _firesmoke_bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
    set_target_properties(firesmoke PROPERTIES INSTALL_RPATH "$ORIGIN/${_firesmoke_bin_to_lib}")
  endif()
endif()

# --- The CMake package -----------------------------------------------------------
install(EXPORT VEKCustomFireNSmokeDetectionTargets
  NAMESPACE VEK::
  FILE VEKCustomFireNSmokeDetectionTargets.cmake
  DESTINATION "${FIRESMOKE_INSTALL_CMAKEDIR}")

set(FIRESMOKE_OPENCV_MAJOR "${OpenCV_VERSION_MAJOR}")
configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/VEKCustomFireNSmokeDetectionConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/package/VEKCustomFireNSmokeDetectionConfig.cmake"
  INSTALL_DESTINATION "${FIRESMOKE_INSTALL_CMAKEDIR}"
  PATH_VARS FIRESMOKE_INSTALL_MODELDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/package/VEKCustomFireNSmokeDetectionConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
    "${PROJECT_BINARY_DIR}/package/VEKCustomFireNSmokeDetectionConfig.cmake"
    "${PROJECT_BINARY_DIR}/package/VEKCustomFireNSmokeDetectionConfigVersion.cmake"
  DESTINATION "${FIRESMOKE_INSTALL_CMAKEDIR}")

# --- The Debian package ----------------------------------------------------------
set(FIRESMOKE_PACKAGE_MAINTAINER "VEK fire and smoke detection team <firesmoke@vek.invalid>" CACHE STRING
    "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME "vekcustomfiresmoke")
set(CPACK_PACKAGE_VENDOR "VEK")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "The VEKCustomFS fire-and-smoke detector as a shared library, with its headers and CMake
package (VEK::FireNSmokeDetection), the model folder ${_firesmoke_model_name} and the
firesmoke command-line tool (detect, eval).")
set(CPACK_PACKAGE_CONTACT "${FIRESMOKE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "${FIRESMOKE_PACKAGE}")
set(CPACK_STRIP_FILES ON)

# Install where the build expects to be installed (see the top of this file).
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${FIRESMOKE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Run-time dependencies (libopencv-core406, libopencv-dnn406, libc6, ...) come from
# dpkg-shlibdeps; without it, the OpenCV libraries are named by hand.
find_program(FIRESMOKE_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(FIRESMOKE_DPKG_SHLIBDEPS)
if(FIRESMOKE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Debian names them after major and two-digit minor version: 4.6 -> libopencv-core406.
  math(EXPR _firesmoke_cv "${OpenCV_VERSION_MAJOR} * 100 + ${OpenCV_VERSION_MINOR}")
  set(_firesmoke_depends "")
  foreach(_module IN ITEMS core imgproc dnn imgcodecs videoio)
    list(APPEND _firesmoke_depends "libopencv-${_module}${_firesmoke_cv}")
  endforeach()
  list(JOIN _firesmoke_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# CPack runs ldconfig after installation only for libraries under /lib and /usr/lib;
# elsewhere (the default /usr/local/lib) dpkg's ldconfig trigger refreshes the
# loader's cache, so that hosts can load the plug-in by name.
if(NOT CMAKE_INSTALL_FULL_LIBDIR MATCHES "^/(usr/)?lib(/|$)")
  set(_firesmoke_triggers "${PROJECT_BINARY_DIR}/package/debian/triggers")
  file(WRITE "${_firesmoke_triggers}" "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_firesmoke_triggers}")
endif()

# A Debian package on Linux; elsewhere an archive of the same tree.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR "DEB")
else()
  set(CPACK_GENERATOR "ZIP")
endif()
include(CPack)

# --- The layout, for the package tests (tests/package) ------------------------------
# What an installed tree holds, relative to its prefix, per configuration.
set(_layout_lib VEKCustomFireNSmokeDetection)
file(GLOB _firesmoke_model_files RELATIVE "${FIRESMOKE_MODEL_SOURCE_DIR}" "${FIRESMOKE_MODEL_SOURCE_DIR}/*")
set(_layout_files
  "${CMAKE_INSTALL_INCLUDEDIR}/IVEKCustomClass.h"
  "${CMAKE_INSTALL_INCLUDEDIR}/VEKCustomFS.h"
  "${CMAKE_INSTALL_INCLUDEDIR}/vekcustomfs_export.h"
  "${FIRESMOKE_INSTALL_CMAKEDIR}/VEKCustomFireNSmokeDetectionConfig.cmake"
  "${FIRESMOKE_INSTALL_CMAKEDIR}/VEKCustomFireNSmokeDetectionConfigVersion.cmake"
  "${FIRESMOKE_INSTALL_CMAKEDIR}/VEKCustomFireNSmokeDetectionTargets.cmake")
foreach(_f IN LISTS _firesmoke_model_files)
  list(APPEND _layout_files "${FIRESMOKE_INSTALL_MODELDIR}/${_f}")
endforeach()
set(_layout_links "")
if(WIN32)
  list(APPEND _layout_files "${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${_layout_lib}>"
                     "${CMAKE_INSTALL_LIBDIR}/$<TARGET_LINKER_FILE_NAME:${_layout_lib}>")
else()
  list(APPEND _layout_files "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:${_layout_lib}>")
  if(NOT APPLE)
    # "link|target": name -> SONAME -> real file
    list(APPEND _layout_links
      "${CMAKE_INSTALL_LIBDIR}/$<TARGET_LINKER_FILE_NAME:${_layout_lib}>|$<TARGET_SONAME_FILE_NAME:${_layout_lib}>"
      "${CMAKE_INSTALL_LIBDIR}/$<TARGET_SONAME_FILE_NAME:${_layout_lib}>|$<TARGET_FILE_NAME:${_layout_lib}>")
  endif()
endif()
set(_layout_tool "")
if(TARGET firesmoke)
  set(_layout_tool "${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:firesmoke>")
  list(APPEND _layout_files "${_layout_tool}")
endif()
list(JOIN _layout_files "\"\n  \"" _layout_files)
list(JOIN _layout_links "\"\n  \"" _layout_links)
file(GENERATE OUTPUT "${PROJECT_BINARY_DIR}/package/layout_$<CONFIG>.cmake" CONTENT
"# Generated by cmake/Install.cmake: what an installed tree holds, relative to its prefix.
set(EXPECT_FILES\n  \"${_layout_files}\")
set(EXPECT_LINKS\n  \"${_layout_links}\")
set(EXPECT_TOOL \"${_layout_tool}\")
set(EXPECT_VERSION \"${PROJECT_VERSION}\")
set(SOURCE_TREE \"${PROJECT_SOURCE_DIR}\")
set(BUILD_TREE \"${PROJECT_BINARY_DIR}\")
")
