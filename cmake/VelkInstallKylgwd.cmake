# Runs at install time (cmake --install, or CPack building the kylgwd
# package): installs the configuration and the units with the paths of the
# prefix the files go to now, which may differ from the one configured.
# A /usr prefix keeps its configuration in /etc, as the packages do.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VELK_ETC "/etc")
else()
  set(VELK_ETC "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(CMAKE_INSTALL_FULL_SYSCONFDIR "${VELK_ETC}")
set(CMAKE_INSTALL_FULL_SBINDIR "${CMAKE_INSTALL_PREFIX}/${VELK_SBINDIR}")
set(CMAKE_INSTALL_FULL_DOCDIR "${CMAKE_INSTALL_PREFIX}/${VELK_DATADIR}/doc/kylgwd")
foreach(unit kylgwd.service kylgwd-mover@.service)
  configure_file("${VELK_SOURCE_DIR}/packaging/${unit}.in" "${VELK_BINARY_DIR}/packaging/${unit}" @ONLY)
  file(INSTALL "${VELK_BINARY_DIR}/packaging/${unit}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${VELK_SYSTEMD_UNITDIR}")
endforeach()
# The configuration holds password hashes and keytab paths: root and the
# kylgwd group read it.  An edited copy is never replaced here (dpkg asks
# about a changed conffile itself).
if(NOT EXISTS "$ENV{DESTDIR}${VELK_ETC}/kylgwd/kylgwd.conf")
  file(INSTALL "${VELK_SOURCE_DIR}/packaging/kylgwd.conf" DESTINATION "${VELK_ETC}/kylgwd"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
endif()
