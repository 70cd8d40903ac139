# Unpacks the Debian package DEB into the scratch root ROOT, the way dpkg
# would lay it out on a panel, and checks what a panel would get: the right
# architecture and dependencies, exactly the expected files, an executable
# for the right machine, and a unit whose ExecStart names that executable.
# cmake -DDEB= -DROOT= -DUNIT= -DVERSION= -DARCHITECTURE= -DMACHINE= -DREADELF=
#       -P check_deb.cmake   (UNIT: the unit's path inside the package)

set(failures "")
get_filename_component(UNIT_DIR ${UNIT} DIRECTORY)
macro(fail message)
  string(APPEND failures "  ${message}\n")
endmacro()

function(run output)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${ARGN} failed: ${err}")
  endif()
  set(${output} "${out}" PARENT_SCOPE)
endfunction()

function(control_field field output)
  run(value dpkg-deb --field ${DEB} ${field})
  string(STRIP "${value}" value)
  set(${output} "${value}" PARENT_SCOPE)
endfunction()

if(NOT EXISTS "${DEB}")
  message(FATAL_ERROR "no package at ${DEB}")
endif()
file(REMOVE_RECURSE ${ROOT})
file(MAKE_DIRECTORY ${ROOT})
run(ignored dpkg-deb --extract ${DEB} ${ROOT})
run(ignored dpkg-deb --control ${DEB} ${ROOT}/DEBIAN)

# The control file.
foreach(field_value "Package=tavrin" "Version=${VERSION}" "Architecture=${ARCHITECTURE}")
  string(REPLACE "=" ";" pair "${field_value}")
  list(GET pair 0 field)
  list(GET pair 1 expected)
  control_field(${field} actual)
  if(NOT actual STREQUAL expected)
    fail("${field}: '${actual}', expected '${expected}'")
  endif()
endforeach()
control_field(Depends depends)
if(NOT depends MATCHES "(^|, )libc6 \\(>= 2\\.[0-9]+\\)(,|$)")
  fail("Depends has no versioned libc6: '${depends}'")
endif()
if(NOT depends MATCHES "(^|, )x11-xserver-utils(,|$)")
  fail("Depends lacks x11-xserver-utils: '${depends}'")
endif()

# Exactly these files, so that no test program, library or header leaks in.
file(GLOB_RECURSE payload LIST_DIRECTORIES false RELATIVE ${ROOT} ${ROOT}/*)
list(FILTER payload EXCLUDE REGEX "^DEBIAN/")
list(SORT payload)
set(expected_payload
  ${UNIT}
  ${UNIT_DIR}/tavrin-check.service
  ${UNIT_DIR}/tavrin-check.timer
  usr/bin/tavrin
  usr/bin/tavrin-check
  usr/share/doc/tavrin/changelog.gz
  usr/share/doc/tavrin/copyright
  usr/share/lintian/overrides/tavrin
  usr/share/man/man1/tavrin-check.1.gz
  usr/share/man/man1/tavrin.1.gz)
list(SORT expected_payload)
if(NOT payload STREQUAL expected_payload)
  fail("files: ${payload}\n  expected: ${expected_payload}")
endif()

# The executables: mode bits, and built for the machine the package claims.
foreach(program usr/bin/tavrin usr/bin/tavrin-check)
  execute_process(COMMAND test -f ${ROOT}/${program} -a -x ${ROOT}/${program}
    RESULT_VARIABLE not_executable)
  if(not_executable)
    fail("${program} is not an executable file")
  else()
    run(header ${READELF} --file-header ${ROOT}/${program})
    if(NOT header MATCHES "Machine: +${MACHINE}")
      fail("${program} is not built for ${MACHINE}")
    endif()
  endif()
endforeach()

file(STRINGS ${ROOT}/${UNIT} exec_start REGEX "^ExecStart=")
if(NOT exec_start STREQUAL "ExecStart=/usr/bin/tavrin")
  fail("unit starts '${exec_start}', not the packaged /usr/bin/tavrin")
endif()
file(STRINGS ${ROOT}/${UNIT_DIR}/tavrin-check.service exec_start REGEX "^ExecStart=")
if(NOT exec_start MATCHES " /usr/bin/tavrin-check --prometheus ")
  fail("the check's unit starts '${exec_start}', not the packaged /usr/bin/tavrin-check")
endif()

# Maintainer scripts: present, executable, and handling this unit.
foreach(script_step "postinst=deb-systemd-helper enable 'tavrin.service'"
                    "prerm=deb-systemd-invoke stop 'tavrin.service'"
                    "postrm=deb-systemd-helper purge 'tavrin.service'"
                    "postinst=deb-systemd-helper enable 'tavrin-check.timer'"
                    "prerm=deb-systemd-invoke stop 'tavrin-check.timer'"
                    "postrm=deb-systemd-helper purge 'tavrin-check.timer'")
  string(FIND "${script_step}" "=" split)
  string(SUBSTRING "${script_step}" 0 ${split} script)
  math(EXPR split "${split} + 1")
  string(SUBSTRING "${script_step}" ${split} -1 step)
  set(path ${ROOT}/DEBIAN/${script})
  execute_process(COMMAND test -x ${path} RESULT_VARIABLE not_executable)
  if(not_executable)
    fail("${script} missing or not executable")
    continue()
  endif()
  file(READ ${path} body)
  string(FIND "${body}" "${step}" found)
  if(found EQUAL -1)
    fail("${script} does not run: ${step}")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${DEB}:\n${failures}")
endif()
message(STATUS "${DEB}: ${depends}")
