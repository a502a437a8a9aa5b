# Install-time part of packaging/package.cmake: writes the systemd unit for the prefix being
# installed to and installs it. LOBBY_UNIT_TEMPLATE, LOBBY_UNIT_STAGING and
# LOBBY_BINDIR_RELATIVE are set just before this runs.
set(LOBBY_BINDIR "${CMAKE_INSTALL_PREFIX}/${LOBBY_BINDIR_RELATIVE}")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(lobby_unit_dir /lib/systemd/system)
else()
    set(lobby_unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
configure_file("${LOBBY_UNIT_TEMPLATE}" "${LOBBY_UNIT_STAGING}" @ONLY)
file(INSTALL DESTINATION "${lobby_unit_dir}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    FILES "${LOBBY_UNIT_STAGING}")
