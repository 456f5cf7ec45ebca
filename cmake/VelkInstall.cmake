# What "cmake --install" puts where, in two components that CPack turns
# into two Debian packages (scripts/package.sh):
#   velk package:
#     velk                  bin/
#     velk.1.gz             share/man/man1/
#     velk (completion)     share/bash-completion/completions/
#     README.md, copyright  share/doc/velk/
#   kylgwd package:
#     kylgwd                sbin/ (a daemon, started by root or by systemd)
#     kylgwd.8.gz           share/man/man8/
#     kylgwd.service        lib/systemd/system/
#     kylgwd-mover@.service lib/systemd/system/ (a mover daemon per address)
#     kylgwd.conf           etc/kylgwd/ (/etc/kylgwd/ when the prefix is /usr),
#                           also as a sample in share/doc/kylgwd/examples/
#     copyright             share/doc/kylgwd/
# The units name the paths of the prefix the files are installed under,
# worked out at install time, so "cmake --install --prefix DIR" gets units
# that name DIR.  Nothing starts the daemon on its own.

install(TARGETS velk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT velk)
install(TARGETS kylgwd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT kylgwd)
# The pages name the version they describe, and are installed compressed
# (gzip -n: the same bytes for the same page, whenever built).
foreach(page velk.1 kylgwd.8)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page} ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  execute_process(COMMAND gzip -9nf -k ${CMAKE_BINARY_DIR}/man/${page} RESULT_VARIABLE gzip_rc)
  if(NOT gzip_rc EQUAL 0)
    message(FATAL_ERROR "gzip ${page}: ${gzip_rc}")
  endif()
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/man/velk.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT velk)
install(FILES ${CMAKE_BINARY_DIR}/man/kylgwd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT kylgwd)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/velk.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME velk COMPONENT velk)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velk COMPONENT velk)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kylgwd
        COMPONENT kylgwd)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/kylgwd.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kylgwd/examples
        COMPONENT kylgwd)
# systemd looks in lib/systemd/system below /usr (or /); CMAKE_INSTALL_LIBDIR
# would add a multiarch directory it never reads.
set(VELK_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING "Where the kylgwd unit is installed, below the prefix")
install(CODE "set(VELK_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
set(VELK_BINARY_DIR \"${CMAKE_BINARY_DIR}\")
set(VELK_SYSTEMD_UNITDIR \"${VELK_SYSTEMD_UNITDIR}\")
set(VELK_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
set(VELK_DATADIR \"${CMAKE_INSTALL_DATADIR}\")"
        COMPONENT kylgwd)
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/VelkInstallKylgwd.cmake COMPONENT kylgwd)

set(CPACK_PACKAGE_NAME velk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "velk maintainers <velk@localhost>")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL velk kylgwd)
# The package installs where the build was configured to (scripts/package.sh
# configures /usr).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The runtime libraries (libc, libstdc++, libssl, libcrypt, libdeflate) as
# dpkg-shlibdeps finds them in each package's binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_VELK_PACKAGE_NAME velk)
set(CPACK_DEBIAN_VELK_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_VELK_DESCRIPTION
    "tar archiver with an index, for a hierarchical storage system\nvelk writes and reads POSIX ustar archives kept in a hierarchical storage system behind a gateway, or in the local file system, with an index beside each archive so that listing, extracting, verifying and soft-deleting read only what they need.")
# The velk package's dependencies beyond the libraries dpkg-shlibdeps finds,
# comma-separated in Debian's syntax: the one list of them.
# fuse3 for fusermount3, which unmounts a velk --mount.
set(VELK_DEB_DEPENDS "fuse3")
set(CPACK_DEBIAN_VELK_PACKAGE_DEPENDS "${VELK_DEB_DEPENDS}")

set(CPACK_DEBIAN_KYLGWD_PACKAGE_NAME kylgwd)
set(CPACK_DEBIAN_KYLGWD_PACKAGE_SECTION net)
set(CPACK_COMPONENT_KYLGWD_DESCRIPTION
    "stand-in storage gateway for velk\nkylgwd serves a directory tree to velk as its gateway and storage system would, for tests and for sites without one.")
# The maintainer scripts add the system user with useradd.
set(CPACK_DEBIAN_KYLGWD_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_KYLGWD_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_KYLGWD_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
