# Unpacks the Debian package DEB into the scratch root ROOT, the way dpkg
# would lay it out on a panel, and checks what a panel would get: the right
# architecture and dependencies, exactly the expected files, an executable
# for the right machine, and a unit whose ExecStart names that executable.
# Then the debug symbols package DBGSYM: the symbols of each executable,
# found by its build-id.
# cmake -DDEB= -DDBGSYM= -DROOT= -DUNIT= -DVERSION= -DARCHITECTURE= -DMACHINE= -DREADELF=
#       -P check_deb.cmake   (UNIT: the unit's path inside the package)

set(failures "")
get_filename_component(UNIT_DIR ${UNIT} DIRECTORY)
string(REGEX REPLACE "systemd/system$" "udev/rules.d" UDEV_DIR ${UNIT_DIR})
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
  ${UDEV_DIR}/71-tavrin-restart.rules
  ${UDEV_DIR}/72-tavrin-record.rules
  usr/libexec/tavrin/record-backlight
  usr/bin/tavrin
  usr/bin/tavrin-check
  usr/share/doc/tavrin/changelog.gz
  usr/share/doc/tavrin/copyright
  usr/share/doc/tavrin/examples/tavrin.rules.yml
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
file(STRINGS ${ROOT}/${UDEV_DIR}/72-tavrin-record.rules run REGEX "RUN\\+=")
if(NOT run MATCHES "RUN\\+=\"/usr/libexec/tavrin/record-backlight\"$")
  fail("the record's udev rule runs '${run}', not the packaged recorder")
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

# The symbols package, unpacked beside: a debugger on the panel looks a
# core's executable up by its build-id under /usr/lib/debug/.build-id/, and
# takes only a file that carries the same build-id.
function(build_id file output)
  run(notes ${READELF} --notes ${file})
  string(REGEX MATCH "Build ID: ([0-9a-f]+)" ignored "${notes}")
  set(${output} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

function(has_section file section output)
  run(sections ${READELF} --section-headers --wide ${file})
  string(FIND "${sections}" " ${section} " found)
  if(found EQUAL -1)
    set(${output} FALSE PARENT_SCOPE)
  else()
    set(${output} TRUE PARENT_SCOPE)
  endif()
endfunction()

if(NOT EXISTS "${DBGSYM}")
  message(FATAL_ERROR "no debug symbols package at ${DBGSYM}")
endif()
set(dbgroot ${ROOT}-dbgsym)
file(REMOVE_RECURSE ${dbgroot})
file(MAKE_DIRECTORY ${dbgroot})
run(ignored dpkg-deb --extract ${DBGSYM} ${dbgroot})
foreach(field_value "Package=tavrin-dbgsym" "Version=${VERSION}" "Architecture=${ARCHITECTURE}"
                    "Depends=tavrin (= ${VERSION})")
  string(FIND "${field_value}" "=" split)
  string(SUBSTRING "${field_value}" 0 ${split} field)
  math(EXPR split "${split} + 1")
  string(SUBSTRING "${field_value}" ${split} -1 expected)
  run(actual dpkg-deb --field ${DBGSYM} ${field})
  string(STRIP "${actual}" actual)
  if(NOT actual STREQUAL expected)
    fail("symbols package ${field}: '${actual}', expected '${expected}'")
  endif()
endforeach()
# Its copyright and changelog are those of the package it belongs to.
set(expected_symbols usr/share/doc/tavrin-dbgsym)
foreach(program usr/bin/tavrin usr/bin/tavrin-check)
  build_id(${ROOT}/${program} id)
  if(NOT id MATCHES "^[0-9a-f][0-9a-f].")
    fail("${program} has no build-id")
    continue()
  endif()
  string(SUBSTRING "${id}" 0 2 id_dir)
  string(SUBSTRING "${id}" 2 -1 id_file)
  set(debug_file usr/lib/debug/.build-id/${id_dir}/${id_file}.debug)
  list(APPEND expected_symbols ${debug_file})
  if(NOT EXISTS ${dbgroot}/${debug_file})
    fail("${program}: no ${debug_file} in the symbols package")
    continue()
  endif()
  build_id(${dbgroot}/${debug_file} debug_id)
  if(NOT debug_id STREQUAL id)
    fail("${program}: build-id ${id}, its debug file's ${debug_id}")
  endif()
  has_section(${dbgroot}/${debug_file} .debug_info debug_has_info)
  has_section(${ROOT}/${program} .debug_info shipped_has_info)
  has_section(${ROOT}/${program} .symtab shipped_has_symbols)
  if(NOT debug_has_info OR shipped_has_info OR shipped_has_symbols)
    fail("${program}: debugging information not moved to ${debug_file}")
  endif()
endforeach()
file(GLOB_RECURSE symbols LIST_DIRECTORIES false RELATIVE ${dbgroot} ${dbgroot}/*)
list(SORT symbols)
list(SORT expected_symbols)
if(NOT symbols STREQUAL expected_symbols)
  fail("symbols package files: ${symbols}\n  expected: ${expected_symbols}")
endif()

if(failures)
  message(FATAL_ERROR "${DEB}:\n${failures}")
endif()
message(STATUS "${DEB}: ${depends}")
