# What "cmake --install" puts where, and the Debian package CPack builds
# from it (scripts/package.sh):
#   velk                  bin/
#   kylgwd                sbin/ (a daemon, started by root or by systemd)
#   velk.1, kylgwd.8      share/man/
#   kylgwd.service        lib/systemd/system/
#   kylgwd-mover@.service lib/systemd/system/ (a mover daemon per address)
#   velk (completion)     share/bash-completion/completions/
#   kylgwd.conf sample    share/doc/velk/examples/ (copied to /etc/kylgwd/
#                         by the administrator; nothing starts the daemon
#                         on its own)

install(TARGETS velk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kylgwd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# The pages name the version they describe.
configure_file(${PROJECT_SOURCE_DIR}/docs/man/velk.1 ${CMAKE_BINARY_DIR}/man/velk.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/docs/man/kylgwd.8 ${CMAKE_BINARY_DIR}/man/kylgwd.8 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/man/velk.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/man/kylgwd.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/velk.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME velk)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/kylgwd.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# systemd looks in lib/systemd/system below /usr (or /); CMAKE_INSTALL_LIBDIR
# would add a multiarch directory it never reads.
set(VELK_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING "Where the kylgwd unit is installed, below the prefix")
configure_file(${PROJECT_SOURCE_DIR}/packaging/kylgwd.service.in ${CMAKE_BINARY_DIR}/packaging/kylgwd.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/kylgwd.service DESTINATION ${VELK_SYSTEMD_UNITDIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/kylgwd-mover@.service.in
               ${CMAKE_BINARY_DIR}/packaging/kylgwd-mover@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/kylgwd-mover@.service DESTINATION ${VELK_SYSTEMD_UNITDIR})

set(CPACK_PACKAGE_NAME velk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "velk maintainers <velk@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tar archiver with an index, for a hierarchical storage system")
set(CPACK_PACKAGE_DESCRIPTION
    "velk writes and reads POSIX ustar archives kept in a hierarchical storage system behind a gateway, or in the local file system, with an index beside each archive so that listing, extracting, verifying and soft-deleting read only what they need. The package also holds kylgwd, a stand-in gateway that serves a directory tree.")
set(CPACK_GENERATOR DEB)
# The package installs where the build was configured to (scripts/package.sh
# configures /usr), so the unit names the right kylgwd.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The runtime libraries (libc, libstdc++, libssl, libcrypt, libdeflate,
# libfuse3) as dpkg-shlibdeps finds them in the binaries, and fuse3 for
# fusermount3, which unmounts a velk --mount.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3")
set(CPACK_STRIP_FILES ON)
include(CPack)
