# Rates the unit UNIT (tavrin.service unless given) exactly as the package
# DEB installs it with systemd-analyze security, offline, in a scratch root
# (the package unpacked over a copy of this machine's system units), and
# fails when its overall exposure rises above MAX_EXPOSURE: a directive
# dropped from the sandbox shows here before it reaches a panel.
# cmake -DDEB= -DROOT= -DSYSTEMD_ANALYZE= -DUNIT_DIR= -DMAX_EXPOSURE= [-DUNIT=]
#       -P check_unit_exposure.cmake

include(${CMAKE_CURRENT_LIST_DIR}/unit_root.cmake)
if(NOT UNIT)
  set(UNIT tavrin.service)
endif()

# The threshold is in tenths of the exposure level that systemd-analyze prints.
string(REPLACE "." "" threshold ${MAX_EXPOSURE})
math(EXPR threshold "${threshold}")
execute_process(COMMAND ${SYSTEMD_ANALYZE} security --offline=yes --root=${ROOT}
                        --threshold=${threshold} --no-pager ${UNIT}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE failed)
string(REGEX MATCH "Overall exposure level for ${UNIT}: [0-9.]+" overall "${out}")
if(failed OR NOT overall)
  message(FATAL_ERROR "exposure above ${MAX_EXPOSURE} (exit ${failed}):\n${out}${err}")
endif()
message(STATUS "${overall} (at most ${MAX_EXPOSURE})")
