# A Debian package of whatever this build tree built: tavrin_<version>_amd64.deb
# from the host preset, tavrin_<version>_armhf.deb from the armhf one.
# `cmake --build --preset <preset> --target package` writes it into the build tree.

# Whoever ships the packages to a fleet sets this; the default is a reserved
# address that reaches nobody, so an unset field shows on every panel.
set(TAVRIN_PACKAGE_MAINTAINER "Unset Maintainer <set-TAVRIN_PACKAGE_MAINTAINER@example.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog tavrin_changelog_head LIMIT_COUNT 1)
if(NOT tavrin_changelog_head MATCHES "^tavrin \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog has no entry for ${PROJECT_VERSION} at its top")
endif()

# Debian wants a copyright file, a changelog and a manual page in every
# package, compressed without a timestamp so that rebuilds are identical.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
set(tavrin_compressed_docs)
foreach(document changelog tavrin.1 tavrin-check.1)
  set(compressed ${PROJECT_BINARY_DIR}/packaging/${document}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/${document} > ${compressed}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/${document}
    VERBATIM)
  list(APPEND tavrin_compressed_docs ${compressed})
endforeach()
add_custom_target(tavrin_package_docs ALL DEPENDS ${tavrin_compressed_docs})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrin)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tavrin.1.gz ${PROJECT_BINARY_DIR}/packaging/tavrin-check.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavrin.rules.yml
  ${PROJECT_SOURCE_DIR}/packaging/tavrin.alertmanager.yml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrin/examples)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tavrin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrin)
set(CPACK_PACKAGE_VERSION ${TAVRIN_VERSION})
set(CPACK_PACKAGE_CONTACT ${TAVRIN_PACKAGE_MAINTAINER})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "panel blanking watcher for an X display")
# CPack puts the summary first and indents the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[tavrin asks the X server on :0.0 once a second whether DPMS reports the
monitor on. One cycle after the monitor goes from on to anything else it
switches the backlight off, forces DPMS on, paints /dev/fb0 white, forces
DPMS off, repaints the X screen black and switches the backlight back on.

tavrin-check reports whether each of those steps can work on this panel.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Named here, not left to CPack, so that the checks below know the file name.
if(DEFINED TAVRIN_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TAVRIN_DEB_ARCHITECTURE})
else()
  execute_process(COMMAND dpkg --print-architecture
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_DEBIAN_PACKAGE_DEPENDS "x11-xserver-utils")
if(CMAKE_CROSSCOMPILING)
  set(tavrin_packaged_binaries "$<TARGET_FILE:tavrin>;$<TARGET_FILE:tavrin-check>")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack_libc_depends.cmake.in
    ${PROJECT_BINARY_DIR}/packaging/cpack_libc_depends.cmake.in @ONLY)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/packaging/cpack_libc_depends.cmake
    INPUT ${PROJECT_BINARY_DIR}/packaging/cpack_libc_depends.cmake.in)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack_libc_depends.cmake)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A core file from a panel is read with tavrin-dbgsym: CPack splits each
# executable's symbols into /usr/lib/debug/.build-id/ and strips the shipped
# file itself, so it is handed the executables unstripped, and the tools of
# the target's binutils.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_STRIP_FILES OFF)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/finish_packages.cmake)
# Where it finds the time the packages' files carry.
set(CPACK_TAVRIN_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_TAVRIN_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# The units may live outside the prefix (TAVRIN_SYSTEMD_UNIT_DIR), so the
# package is staged through DESTDIR with the prefix the package installs to.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

include(CPack)

if(TAVRIN_BUILD_TESTS)
  # Builds the package as `--target package` would; the checks below read it.
  set(tavrin_deb ${PROJECT_BINARY_DIR}/tavrin_${TAVRIN_VERSION}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.deb)
  add_test(NAME tavrin_package_builds
    COMMAND ${CMAKE_CPACK_COMMAND} --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
  set_tests_properties(tavrin_package_builds PROPERTIES FIXTURES_SETUP tavrin_deb LABELS package)

  # How readelf names the machine of each Debian architecture built here.
  set(tavrin_elf_machine_armhf ARM)
  set(tavrin_elf_machine_amd64 "Advanced Micro Devices X86-64")
  set(tavrin_elf_machine_arm64 AArch64)
  set(tavrin_elf_machine ${tavrin_elf_machine_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}})
  if(NOT tavrin_elf_machine)
    message(FATAL_ERROR "no ELF machine known for ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
  endif()
  # Where the unit lands in the package, relative to its root.
  if(IS_ABSOLUTE "${TAVRIN_SYSTEMD_UNIT_DIR}")
    string(REGEX REPLACE "^/+" "" tavrin_packaged_unit_dir "${TAVRIN_SYSTEMD_UNIT_DIR}")
  else()
    string(REGEX REPLACE "^/+" "" tavrin_packaged_unit_dir
      "${CPACK_INSTALL_PREFIX}/${TAVRIN_SYSTEMD_UNIT_DIR}")
  endif()
  add_test(NAME tavrin_package_contents
    COMMAND ${CMAKE_COMMAND} -DDEB=${tavrin_deb} -DROOT=${PROJECT_BINARY_DIR}/package-root
            -DDBGSYM=${PROJECT_BINARY_DIR}/tavrin-dbgsym_${TAVRIN_VERSION}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.ddeb
            -DUNIT=${tavrin_packaged_unit_dir}/tavrin.service
            -DVERSION=${TAVRIN_VERSION} -DARCHITECTURE=${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}
            -DMACHINE=${tavrin_elf_machine} -DREADELF=${CMAKE_READELF}
            -P ${CMAKE_CURRENT_LIST_DIR}/check_deb.cmake)
  set_tests_properties(tavrin_package_contents PROPERTIES FIXTURES_REQUIRED tavrin_deb LABELS package)

  # The tests' own configure made sure that systemd-analyze is there.
  add_test(NAME tavrin_package_unit_verifies
    COMMAND ${CMAKE_COMMAND} -DDEB=${tavrin_deb} -DROOT=${PROJECT_BINARY_DIR}/unit-root
            -DSYSTEMD_ANALYZE=${TAVRIN_SYSTEMD_ANALYZE} -DUNIT_DIR=${TAVRIN_SYSTEMD_UNIT_DIR}
            -P ${CMAKE_CURRENT_LIST_DIR}/verify_unit.cmake)
  set_tests_properties(tavrin_package_unit_verifies PROPERTIES
    FIXTURES_REQUIRED tavrin_deb LABELS package)
  # The exposure the end-to-end test proved the unit works under.
  add_test(NAME tavrin_package_unit_exposure
    COMMAND ${CMAKE_COMMAND} -DDEB=${tavrin_deb} -DROOT=${PROJECT_BINARY_DIR}/exposure-root
            -DSYSTEMD_ANALYZE=${TAVRIN_SYSTEMD_ANALYZE} -DUNIT_DIR=${TAVRIN_SYSTEMD_UNIT_DIR}
            -DMAX_EXPOSURE=0.6 -P ${CMAKE_CURRENT_LIST_DIR}/check_unit_exposure.cmake)
  set_tests_properties(tavrin_package_unit_exposure PROPERTIES
    FIXTURES_REQUIRED tavrin_deb LABELS package)
  # The check sees what tavrin sees only in the same sandbox.
  add_test(NAME tavrin_package_check_unit_exposure
    COMMAND ${CMAKE_COMMAND} -DDEB=${tavrin_deb} -DROOT=${PROJECT_BINARY_DIR}/check-exposure-root
            -DSYSTEMD_ANALYZE=${TAVRIN_SYSTEMD_ANALYZE} -DUNIT_DIR=${TAVRIN_SYSTEMD_UNIT_DIR}
            -DUNIT=tavrin-check.service
            -DMAX_EXPOSURE=0.6 -P ${CMAKE_CURRENT_LIST_DIR}/check_unit_exposure.cmake)
  set_tests_properties(tavrin_package_check_unit_exposure PROPERTIES
    FIXTURES_REQUIRED tavrin_deb LABELS package)
endif()
