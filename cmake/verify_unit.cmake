# Runs systemd-analyze verify on the units exactly as the package DEB installs
# them, in a scratch root: the package unpacked over a copy of this machine's
# system units (which supply sysinit.target and the other standard units),
# so ExecStart and Documentation= are checked against the packaged files.
# Any message fails.
# cmake -DDEB= -DROOT= -DSYSTEMD_ANALYZE= -DUNIT_DIR= -P verify_unit.cmake

include(${CMAKE_CURRENT_LIST_DIR}/unit_root.cmake)

# Documentation= is checked with man, which must look in the package too.
# The check's unit runs its report through the shell, which a panel has
# and the scratch root, being only the package, has not.
configure_file(/bin/sh ${ROOT}/bin/sh COPYONLY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env MANPATH=${ROOT}/usr/share/man
                        ${SYSTEMD_ANALYZE} verify --root=${ROOT}
                        tavrin.service tavrin-check.service tavrin-check.timer
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE failed)
if(failed OR NOT "${out}${err}" STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify (exit ${failed}):\n${out}${err}")
endif()
