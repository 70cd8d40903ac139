# Installs tavrin.service beside the executable.
include(GNUInstallDirs)

set(tavrin_default_unit_dir lib/systemd/system)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(tavrin_pkgconfig_unit_dir systemd systemdsystemunitdir)
  if(tavrin_pkgconfig_unit_dir)
    set(tavrin_default_unit_dir ${tavrin_pkgconfig_unit_dir})
  endif()
endif()
set(TAVRIN_SYSTEMD_UNIT_DIR ${tavrin_default_unit_dir} CACHE STRING
    "Directory for tavrin.service; a relative path is taken under the install prefix")

# ExecStart must name the executable where it ends up, and the prefix is only
# final at install time (cmake --install --prefix, or CPack's /usr).
set(tavrin_unit_template ${PROJECT_SOURCE_DIR}/packaging/tavrin.service.in)
set(tavrin_unit ${PROJECT_BINARY_DIR}/packaging/tavrin.service)
install(CODE "
  set(TAVRIN_INSTALLED_EXECUTABLE \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tavrin\")
  configure_file([[${tavrin_unit_template}]] [[${tavrin_unit}]] @ONLY)
")
install(FILES ${tavrin_unit} DESTINATION ${TAVRIN_SYSTEMD_UNIT_DIR})
