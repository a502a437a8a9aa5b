# What cmake --install puts where, and the Debian package made of the same (cpack -G DEB, run
# by scripts/package). Included from the top CMakeLists.txt.

include(GNUInstallDirs)
set(LOBBY_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/lobby-server)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS lobby-server lobby-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The systemd unit is written at install time, not at configure time, because only then is the
# prefix known for sure: cmake --install build --prefix DIR and the package (prefix /usr) use
# the same build. Under /usr it goes to /lib/systemd/system, where Debian 12 keeps the units of
# its packages; under any other prefix to PREFIX/lib/systemd/system.
install(CODE "set(LOBBY_UNIT_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/lobby-server.service.in\")
    set(LOBBY_UNIT_STAGING \"${CMAKE_BINARY_DIR}/packaging/lobby-server.service\")
    set(LOBBY_BINDIR_RELATIVE \"${CMAKE_INSTALL_BINDIR}\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install_unit.cmake)

# The README, the changelog and the copyright under PREFIX/share/doc/lobby-server. Debian wants
# the changelog compressed, at the highest level and without a time stamp in it.
set(LOBBY_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${LOBBY_CHANGELOG_GZ}
    COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${LOBBY_CHANGELOG_GZ}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
    VERBATIM)
add_custom_target(changelog_gz ALL DEPENDS ${LOBBY_CHANGELOG_GZ})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${LOBBY_CHANGELOG_GZ} ${CMAKE_CURRENT_LIST_DIR}/copyright
    DESTINATION ${LOBBY_DOC_DIR})

# The manual pages lobby-server(8) and lobby-client(1): help2man reads each program's --help
# and --version, and the README's parts marked for the page are added to it (manpage.pl).
# Without help2man the build makes none and says so; scripts/package installs it.
find_program(LOBBY_HELP2MAN help2man)
if(LOBBY_HELP2MAN)
    set(LOBBY_MAN_PAGES)
    foreach(page
            "lobby-server|8|lobby server of a multiplayer game|lobby-client(1), systemctl(1), journalctl(1)"
            "lobby-client|1|send one request to the lobby server and print its replies|lobby-server(8)")
        string(REPLACE "|" ";" page "${page}")
        list(GET page 0 program)
        list(GET page 1 section)
        list(GET page 2 name)
        list(GET page 3 see_also)
        set(output ${CMAKE_BINARY_DIR}/packaging/${program}.${section}.gz)
        add_custom_command(OUTPUT ${output}
            COMMAND perl ${CMAKE_CURRENT_LIST_DIR}/manpage.pl --help2man ${LOBBY_HELP2MAN} --section ${section}
                    --name ${name} --see-also ${see_also} --readme ${CMAKE_SOURCE_DIR}/README.md --output ${output} $<TARGET_FILE:${program}>
            DEPENDS ${program} ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/manpage.pl
            VERBATIM)
        install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
        list(APPEND LOBBY_MAN_PAGES ${output})
    endforeach()
    add_custom_target(manpages ALL DEPENDS ${LOBBY_MAN_PAGES})
else()
    message(STATUS "help2man not found: no manual pages (scripts/package installs it)")
endif()

# The Debian package: cpack -G DEB in the build folder makes lobby-server_VERSION_ARCH.deb there.
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
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lobby server of a multiplayer game")
set(CPACK_PACKAGE_DESCRIPTION "Game clients send short text datagrams to UDP port 12001; the server registers
new nicks, logs players in, keeps every online player informed of who is online
and of the top-nine ranking, relays chat and private lines, adds reported
points, keeps its player registry in a text file and writes a daily traffic
log. The package runs it as the systemd service lobby-server, headless, with
its files in /var/lib/lobby-server, and brings the command-line client
lobby-client.")
set(LOBBY_PACKAGE_MAINTAINER "lobby-server maintainers <lobby-server@example.org>" CACHE STRING
    "Maintainer field of the Debian package: Name <address>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LOBBY_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Depends: computed by dpkg-shlibdeps from the libraries the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
