# Install-time part of packaging/package.cmake: writes the systemd unit for the prefix being
# installed to and installs it, with the configuration file it names. LOBBY_UNIT_TEMPLATE,
# LOBBY_UNIT_STAGING, LOBBY_BINDIR_RELATIVE and LOBBY_CONFIG_SOURCE are set just before this
# runs.
set(LOBBY_BINDIR "${CMAKE_INSTALL_PREFIX}/${LOBBY_BINDIR_RELATIVE}")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(lobby_unit_dir /lib/systemd/system)
    set(lobby_config_dir /etc/lobby-server)
else()
    set(lobby_unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
    set(lobby_config_dir "${CMAKE_INSTALL_PREFIX}/etc/lobby-server")
endif()
set(LOBBY_CONFIG_FILE "${lobby_config_dir}/lobby-server.conf")
# An operator's own edits of the file are never overwritten: the package's dpkg keeps them
# (a conffile), and an install from source leaves an existing file as it is.
if(NOT EXISTS "$ENV{DESTDIR}${LOBBY_CONFIG_FILE}")
    file(INSTALL DESTINATION "${lobby_config_dir}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        FILES "${LOBBY_CONFIG_SOURCE}")
endif()
configure_file("${LOBBY_UNIT_TEMPLATE}" "${LOBBY_UNIT_STAGING}" @ONLY)
file(INSTALL DESTINATION "${lobby_unit_dir}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    FILES "${LOBBY_UNIT_STAGING}")
