# Runs systemd-analyze verify on the unit exactly as the package DEB installs
# it, in a scratch root: the package unpacked over a copy of this machine's
# system units (which supply sysinit.target and the other standard units),
# so ExecStart and Documentation= are checked against the packaged files.
# Any message fails.
# cmake -DDEB= -DROOT= -DSYSTEMD_ANALYZE= -DUNIT_DIR= -P verify_unit.cmake

include(${CMAKE_CURRENT_LIST_DIR}/unit_root.cmake)

# Documentation= is checked with man, which must look in the package too.
execute_process(COMMAND ${CMAKE_COMMAND} -E env MANPATH=${ROOT}/usr/share/man
                        ${SYSTEMD_ANALYZE} verify --root=${ROOT} tavrin.service
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE failed)
if(failed OR NOT "${out}${err}" STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify (exit ${failed}):\n${out}${err}")
endif()
