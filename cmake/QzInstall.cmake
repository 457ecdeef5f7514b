# QzInstall.cmake -- what `cmake --install` puts where, beyond the rules the
# components keep themselves (the library, message module and headers in
# src/exports and src/msg, qzfax in tools/qzfax, the Python module in
# python/). Included from the top CMakeLists.txt after every target exists.
#
#   bin/qzfax, sbin/qzfaxd           found their libraries through
#                                     $ORIGIN/../<libdir> when not in a system
#                                     directory
#   <libdir>/pkgconfig/qzcsif.pc      pkg-config (relocatable: ${pcfiledir})
#   <libdir>/cmake/qzcsif/            find_package(qzcsif) -> qzcsif::qzcsif
#   lib/systemd/system/qzfaxd.service the service unit (packaging/)
#   share/man/man1/*.1                manual pages from --help and doc/man/*.h2m
include(CMakePackageConfigHelpers)

# Executables installed beside the library find it wherever the tree is put.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QZ_EXE_RPATH "${CMAKE_INSTALL_LIBDIR}")
else()
  set(QZ_EXE_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

if(TARGET qzfaxd)
  set_target_properties(qzfaxd PROPERTIES INSTALL_RPATH "${QZ_EXE_RPATH}")
  # A daemon: sbin. The server never loads the client's message module.
  install(TARGETS qzfaxd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT server)
endif()
if(TARGET qzfax)
  set_target_properties(qzfax PROPERTIES INSTALL_RPATH "${QZ_EXE_RPATH}")
endif()

# ---- pkg-config and the CMake package: the library's public face only ----
if(TARGET qzcsif)
  add_library(qzcsif::qzcsif ALIAS qzcsif)
  get_target_property(QZCSIF_SOVERSION qzcsif SOVERSION)
  set(QZ_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  set(QZ_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qzcsif)
  if(IS_ABSOLUTE "${QZ_PKGCONFIG_DIR}")
    set(QZ_PC_TO_PREFIX "${CMAKE_INSTALL_PREFIX}")
  else()
    # "lib/pkgconfig" -> "../..", "lib/x86_64-linux-gnu/pkgconfig" -> "../../.."
    file(RELATIVE_PATH QZ_PC_TO_PREFIX "/prefix/${QZ_PKGCONFIG_DIR}" "/prefix")
    string(REGEX REPLACE "/$" "" QZ_PC_TO_PREFIX "${QZ_PC_TO_PREFIX}")
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/qzcsif.pc.in ${CMAKE_BINARY_DIR}/qzcsif.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/qzcsif.pc DESTINATION ${QZ_PKGCONFIG_DIR} COMPONENT qzcsif)

  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qzcsifConfig.cmake.in
    ${CMAKE_BINARY_DIR}/qzcsifConfig.cmake
    INSTALL_DESTINATION ${QZ_CMAKE_PACKAGE_DIR}
    PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/qzcsifConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/qzcsifConfig.cmake ${CMAKE_BINARY_DIR}/qzcsifConfigVersion.cmake
          DESTINATION ${QZ_CMAKE_PACKAGE_DIR} COMPONENT qzcsif)
endif()

# ---- the service unit ----
# Configured with the installed path of qzfaxd; installed below the prefix
# (/usr/lib/systemd/system for a /usr install).
set(QZ_QZFAXD_PATH ${CMAKE_INSTALL_FULL_SBINDIR}/qzfaxd)
set(QZ_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the systemd unit goes, below the install prefix unless absolute")
configure_file(${PROJECT_SOURCE_DIR}/packaging/qzfaxd.service.in
               ${CMAKE_BINARY_DIR}/packaging/qzfaxd.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/qzfaxd.service
        DESTINATION ${QZ_SYSTEMD_UNIT_DIR} COMPONENT server)

# ---- manual pages ----
# One page per doc/man/<name>.h2m: help2man runs the program's --help and
# adds the include file's sections. "qzfax-<sub>" is the page of
# `qzfax <sub>` (run through a small wrapper). An include file sets the
# page's short description itself with a line "--name=..." before its first
# section. Without help2man the pages are skipped.
find_program(QZ_HELP2MAN help2man)
file(GLOB QZ_H2M_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/man/*.h2m)
set(QZ_MAN_PAGES "")
if(NOT QZ_HELP2MAN)
  message(STATUS "help2man not found: manual pages are not built (Debian package help2man)")
else()
  foreach(h2m ${QZ_H2M_FILES})
    get_filename_component(page ${h2m} NAME_WE)
    string(REGEX MATCH "^(qzfaxd|qzfax)(-(.+))?$" matched "${page}")
    set(program_target "${CMAKE_MATCH_1}")
    set(subcommand "${CMAKE_MATCH_3}")
    if(NOT matched OR NOT TARGET ${program_target})
      message(STATUS "man page ${page}: no program to take it from, skipped")
      continue()
    endif()
    set(program $<TARGET_FILE:${program_target}>)
    if(subcommand)
      set(program ${CMAKE_BINARY_DIR}/doc/man/${page})
      # (made executable by the rule below: FILE_PERMISSIONS of
      # file(GENERATE) crashes some CMake 3.2x releases)
      file(GENERATE OUTPUT ${program} CONTENT "#!/bin/sh\nexec '$<TARGET_FILE:${program_target}>' ${subcommand} \"$@\"\n")
    endif()
    set(out ${CMAKE_BINARY_DIR}/doc/man/${page}.1)
    add_custom_command(OUTPUT ${out}
      COMMAND chmod u+x ${program}
      COMMAND ${QZ_HELP2MAN} --no-info --no-discard-stderr --section=1
              --version-string=${PROJECT_VERSION}
              --include=${h2m} --output=${out} ${program}
      DEPENDS ${program_target} ${h2m}
      COMMENT "Manual page ${page}.1"
      VERBATIM)
    list(APPEND QZ_MAN_PAGES ${out})
  endforeach()
  add_custom_target(qz_man ALL DEPENDS ${QZ_MAN_PAGES})
  install(FILES ${QZ_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT doc)
endif()
