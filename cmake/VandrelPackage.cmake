# SPDX-License-Identifier: MIT
# What `cmake --install` puts under the prefix and how CPack makes a Debian package of it (scripts/package.sh):
# the program, its man page, the README and the licence, the scheduler units and their examples; with the window
# also the desktop entry and the icon. A build without the window makes the package "dbvandrel-headless", which
# needs no widget library; the two replace each other.
include(GNUInstallDirs)
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)

# The man page, compressed as Debian keeps them.
set(_man ${PROJECT_BINARY_DIR}/dbvandrel.1.gz)
add_custom_command(OUTPUT ${_man}
    COMMAND gzip -9 -n -c ${_pkg}/dbvandrel.1 > ${_man}
    DEPENDS ${_pkg}/dbvandrel.1
    VERBATIM)
add_custom_target(dbvandrel_man ALL DEPENDS ${_man})
install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(_doc ${CMAKE_INSTALL_DATADIR}/doc/dbvandrel)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${_doc})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${_doc} RENAME copyright)
install(DIRECTORY ${_pkg}/examples/ DESTINATION ${_doc}/examples)
install(FILES ${_pkg}/systemd/dbvandrel@.service ${_pkg}/systemd/dbvandrel@.timer
    DESTINATION lib/systemd/system)

if(VANDREL_GUI)
    install(FILES ${_pkg}/dbvandrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${_pkg}/icons/dbvandrel.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    foreach(_size 16 24 32 48 64 128 256)
        install(FILES ${_pkg}/icons/hicolor/${_size}x${_size}/dbvandrel.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps)
    endforeach()
endif()

# The package's scripts: the ODBC driver's registration, the service user and /etc/dbvandrel.
configure_file(${_pkg}/debian/postinst.in ${PROJECT_BINARY_DIR}/debian/postinst @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${_pkg}/debian/postrm ${PROJECT_BINARY_DIR}/debian/postrm COPYONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "The Database Vandrel developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "carries a SQL Server database from one server to another")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "On the sending side it backs a Microsoft SQL Server database up, packs it
into a ZIP archive and uploads it to an FTP server; on the receiving side it
downloads the archive, extracts the backup and restores it. It runs from its
window or unattended (systemd units dbvandrel@.service and .timer, cron).")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Database Vandrel developers <dbvandrel@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tdsodbc, odbcinst, passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/postinst ${PROJECT_BINARY_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
if(VANDREL_GUI)
    set(CPACK_PACKAGE_NAME dbvandrel)
    set(_other dbvandrel-headless)
else()
    set(CPACK_PACKAGE_NAME dbvandrel-headless)
    set(_other dbvandrel)
endif()
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${_other})
set(CPACK_DEBIAN_PACKAGE_REPLACES ${_other})
include(CPack)
