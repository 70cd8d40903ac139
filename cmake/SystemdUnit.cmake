# Installs tavrin.service beside the executable, the udev rule that restarts
# it when its devices appear, and the timer that keeps tavrin-check's report
# fresh for the node exporter.
include(GNUInstallDirs)

# Where systemd reads a package's units on every Debian since bookworm, whose
# /lib is a link to /usr/lib: trixie's lintian rejects a file shipped under
# the alias. The same on every build machine, whatever its systemd.pc says:
# a package must not change with where it was built.
set(TAVRIN_SYSTEMD_UNIT_DIR /usr/lib/systemd/system CACHE STRING
    "Directory for tavrin.service; a relative path is taken under the install prefix")
# udev's rules live beside systemd's units, under /lib or /usr/lib alike.
string(REGEX REPLACE "systemd/system/?$" "udev/rules.d" tavrin_default_udev_dir
  "${TAVRIN_SYSTEMD_UNIT_DIR}")
set(TAVRIN_UDEV_RULES_DIR ${tavrin_default_udev_dir} CACHE STRING
    "Directory for the rule that restarts tavrin when its devices appear")
# Debian's prometheus-node-exporter reads *.prom files from here.
set(TAVRIN_TEXTFILE_DIR /var/lib/prometheus/node-exporter CACHE PATH
    "The node exporter's textfile collector directory")

# ExecStart must name the executable where it ends up, and the prefix is only
# final at install time (cmake --install --prefix, or CPack's /usr).
set(tavrin_unit_template ${PROJECT_SOURCE_DIR}/packaging/tavrin.service.in)
set(tavrin_unit ${PROJECT_BINARY_DIR}/packaging/tavrin.service)
set(tavrin_check_unit_template ${PROJECT_SOURCE_DIR}/packaging/tavrin-check.service.in)
set(tavrin_check_unit ${PROJECT_BINARY_DIR}/packaging/tavrin-check.service)
set(tavrin_record_rules_template ${PROJECT_SOURCE_DIR}/packaging/tavrin-record.udev.rules.in)
set(tavrin_record_rules ${PROJECT_BINARY_DIR}/packaging/72-tavrin-record.rules)
install(CODE "
  set(TAVRIN_INSTALLED_EXECUTABLE \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tavrin\")
  set(TAVRIN_CHECK_INSTALLED_EXECUTABLE \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tavrin-check\")
  set(TAVRIN_RECORDER \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/tavrin/record-backlight\")
  set(TAVRIN_TEXTFILE_DIR [[${TAVRIN_TEXTFILE_DIR}]])
  configure_file([[${tavrin_unit_template}]] [[${tavrin_unit}]] @ONLY)
  configure_file([[${tavrin_check_unit_template}]] [[${tavrin_check_unit}]] @ONLY)
  configure_file([[${tavrin_record_rules_template}]] [[${tavrin_record_rules}]] @ONLY)
")
install(FILES ${tavrin_unit} ${tavrin_check_unit} ${PROJECT_SOURCE_DIR}/packaging/tavrin-check.timer
  DESTINATION ${TAVRIN_SYSTEMD_UNIT_DIR})
# Not 70-tavrin.rules: that name is the admin's own rule for running
# unprivileged (docs/permissions.md), which would mask this one.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavrin.udev.rules
  DESTINATION ${TAVRIN_UDEV_RULES_DIR} RENAME 71-tavrin-restart.rules)
# What the blanking sequences did to the backlight, recorded outside tavrin.
install(FILES ${tavrin_record_rules} DESTINATION ${TAVRIN_UDEV_RULES_DIR})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/tavrin-record-backlight
  DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/tavrin RENAME record-backlight)

