# Included by the unit checks: lays out ROOT as a panel has it once the
# package DEB is installed, over a copy of this machine's system units
# (which supply sysinit.target and the other standard units).

# Debian has merged /usr since bookworm: what a package puts in /lib lands in
# /usr/lib, the only place where trixie's systemd looks for units. tar keeps
# the link, where dpkg-deb --extract would replace it by a folder.
file(REMOVE_RECURSE ${ROOT})
file(MAKE_DIRECTORY ${ROOT}/usr/lib)
file(CREATE_LINK usr/lib ${ROOT}/lib SYMBOLIC)
file(MAKE_DIRECTORY ${ROOT}${UNIT_DIR})
file(COPY ${UNIT_DIR}/ DESTINATION ${ROOT}${UNIT_DIR})
execute_process(COMMAND dpkg-deb --fsys-tarfile ${DEB}
                COMMAND tar -x --keep-directory-symlink -C ${ROOT}
                RESULTS_VARIABLE results)
if(NOT results STREQUAL "0;0")
  message(FATAL_ERROR "cannot unpack ${DEB}")
endif()
