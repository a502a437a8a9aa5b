# What cmake --install puts where, and the two Debian packages made of the same (cpack -G DEB,
# run by scripts/package). Included from the top CMakeLists.txt.
#
# Two install components, one package each:
# - headless -> lobby-server: the server without Qt, lobby-client, lobbyctl, the systemd
#   unit, its configuration file, the manual pages; what a server machine runs, with no desktop library among its dependencies;
# - window -> lobby-server-window: the server with its window, for a desktop. It does not
#   depend on lobby-server, whose service would start and take the same port.

include(GNUInstallDirs)
set(LOBBY_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/lobby-server)
set(LOBBY_WINDOW_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/lobby-server-window)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS lobby-server lobby-client lobbyctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT headless)

# The systemd unit is written at install time, not at configure time, because only then is the
# prefix known for sure: cmake --install build --prefix DIR and the package (prefix /usr) use
# the same build. Under /usr it goes to /lib/systemd/system, where Debian 12 keeps the units of
# its packages, and its configuration file to /etc/lobby-server; under any other prefix to
# PREFIX/lib/systemd/system and PREFIX/etc/lobby-server.
install(CODE "set(LOBBY_UNIT_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/lobby-server.service.in\")
    set(LOBBY_UNIT_STAGING \"${CMAKE_BINARY_DIR}/packaging/lobby-server.service\")
    set(LOBBY_BINDIR_RELATIVE \"${CMAKE_INSTALL_BINDIR}\")
    set(LOBBY_CONFIG_SOURCE \"${CMAKE_CURRENT_LIST_DIR}/lobby-server.conf\")" COMPONENT headless)
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install_unit.cmake COMPONENT headless)

# The manual pages, written by hand in packaging/man/ with the version filled in, compressed
# as Debian wants them (gzip -9n: highest level, no time stamp); so is the changelog.
set(LOBBY_GZIPPED)
function(lobby_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9n -c ${source} > ${output}
        DEPENDS ${source}
        VERBATIM)
    set(LOBBY_GZIPPED ${LOBBY_GZIPPED} ${output} PARENT_SCOPE)
endfunction()
foreach(page lobby-server.8 lobbyctl.8 lobby-client.1 lobby-server-window.1)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/man/${page}.in ${CMAKE_BINARY_DIR}/packaging/${page} @ONLY)
    lobby_gzip(${CMAKE_BINARY_DIR}/packaging/${page} ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
endforeach()
set(LOBBY_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
lobby_gzip(${CMAKE_CURRENT_LIST_DIR}/changelog ${LOBBY_CHANGELOG_GZ})
add_custom_target(package_files ALL DEPENDS ${LOBBY_GZIPPED})

install(FILES ${CMAKE_BINARY_DIR}/packaging/lobby-server.8.gz ${CMAKE_BINARY_DIR}/packaging/lobbyctl.8.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT headless)
install(FILES ${CMAKE_BINARY_DIR}/packaging/lobby-client.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT headless)
# The README, the changelog and the copyright (the licence) under PREFIX/share/doc/PACKAGE.
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${LOBBY_CHANGELOG_GZ} ${CMAKE_CURRENT_LIST_DIR}/copyright
    DESTINATION ${LOBBY_DOC_DIR} COMPONENT headless)
# The README's further reading and its picture, where its links find them.
file(GLOB LOBBY_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${LOBBY_DOCS} ${CMAKE_SOURCE_DIR}/docs/window.png DESTINATION ${LOBBY_DOC_DIR}/docs COMPONENT headless)

# What lintian is told about this package (packaging/lintian/: why each tag does not apply).
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian/lobby-server DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    COMPONENT headless)

if(LOBBY_WINDOW)
    install(TARGETS lobby-server-window RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT window)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/lobby-server-window.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT window)
    install(FILES ${LOBBY_CHANGELOG_GZ} ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${LOBBY_WINDOW_DOC_DIR}
        COMPONENT window)
endif()

# The Debian packages: cpack -G DEB in the build folder makes lobby-server_VERSION_ARCH.deb
# and lobby-server-window_VERSION_ARCH.deb there. scripts/package builds them in a build of
# their own, with Debian's hardening flags (dpkg-buildflags).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lobby-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
# DESTDIR staging, so that the install sees the real prefix (/usr) and the unit's absolute
# folder lands in the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL headless)
if(LOBBY_WINDOW)
    list(APPEND CPACK_COMPONENTS_ALL window)
endif()
set(LOBBY_PACKAGE_MAINTAINER "lobby-server maintainers <lobby-server@example.org>" CACHE STRING
    "Maintainer field of the Debian packages: Name <address>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LOBBY_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Depends: computed by dpkg-shlibdeps from the libraries each package's programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(LOBBY_PACKAGE_ABOUT "Game clients send short text datagrams to UDP port 12001; the server registers
new nicks, logs players in, keeps every online player informed of who is online
and of the top-nine ranking, relays chat and private lines, adds reported
points, keeps its player registry in a text file and writes a daily traffic
log.")

set(CPACK_DEBIAN_HEADLESS_PACKAGE_NAME lobby-server)
set(CPACK_DEBIAN_HEADLESS_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_HEADLESS_DESCRIPTION "lobby server of a multiplayer game
${LOBBY_PACKAGE_ABOUT}
.
This package runs it as the systemd service lobby-server, headless, with its
files in /var/lib/lobby-server and its settings in /etc/lobby-server, and
brings the operator's console lobbyctl and the command-line client
lobby-client. It needs no desktop libraries; lobby-server-window is the same
server with a window.")
set(CPACK_DEBIAN_HEADLESS_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME lobby-server-window)
set(CPACK_DEBIAN_WINDOW_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SUGGESTS lobby-server)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION "lobby server of a multiplayer game, in a desktop window
${LOBBY_PACKAGE_ABOUT}
.
This package holds lobby-server-window, which shows the player registry live
in a window while it serves; it starts no service. The package lobby-server
holds the headless server, its systemd service and lobby-client.")
include(CPack)
