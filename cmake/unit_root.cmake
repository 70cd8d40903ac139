# Included by the unit checks: lays out ROOT as a panel has it once the
# package DEB is installed, over a copy of this machine's system units
# (which supply sysinit.target and the other standard units).

file(REMOVE_RECURSE ${ROOT})
file(MAKE_DIRECTORY ${ROOT}${UNIT_DIR})
file(COPY ${UNIT_DIR}/ DESTINATION ${ROOT}${UNIT_DIR})
execute_process(COMMAND dpkg-deb --extract ${DEB} ${ROOT} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot unpack ${DEB}")
endif()
