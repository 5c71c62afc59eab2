# What `cmake --install` and the Debian package put on the system besides the three programs:
# desktop entry, icons, AppStream metainfo, man pages, udev rule and the systemd user unit.
# Programs install their own targets in their folders.

set(OQ_RESOURCES ${CMAKE_SOURCE_DIR}/resources)
set(OQ_APP_ID net.orbelquist.oq_online)
# udev reads /usr/lib and /etc only: prefixes other than /usr need the rule copied to /etc/udev/rules.d.
set(OQ_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING "Where the udev rule goes (relative: under the prefix)")
set(OQ_SYSTEMD_USER_UNIT_DIR lib/systemd/user CACHE STRING "Where the systemd user unit goes (relative: under the prefix)")
set(OQ_ICON_SIZES 16 22 24 32 48 64 128 256 512)

install(FILES ${OQ_RESOURCES}/linux/oq-online.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${OQ_RESOURCES}/linux/${OQ_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${OQ_RESOURCES}/icons/oq-online.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${OQ_RESOURCES}/man/oq-online.1 ${OQ_RESOURCES}/man/oqtool.1 ${OQ_RESOURCES}/man/oq-counter-sim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${OQ_RESOURCES}/linux/70-oq-counter.rules DESTINATION ${OQ_UDEV_RULES_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/oq-online)

# PNG sizes of the icon, rendered from the SVG.
find_program(OQ_RSVG_CONVERT rsvg-convert)
if(OQ_RSVG_CONVERT)
  set(pngs)
  foreach(size ${OQ_ICON_SIZES})
    set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/oq-online.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
      COMMAND ${OQ_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${OQ_RESOURCES}/icons/oq-online.svg
      DEPENDS ${OQ_RESOURCES}/icons/oq-online.svg
      VERBATIM)
    list(APPEND pngs ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(oq_icons ALL DEPENDS ${pngs})
else()
  message(WARNING "rsvg-convert (Debian package librsvg2-bin) not found: the PNG icons are not built or installed")
endif()

# The user unit names oqtool by its full path, which is known only when installing (the prefix
# may be given then, and the package build installs under its own).
install(CODE "
  file(READ \"${OQ_RESOURCES}/linux/oq-record.service.in\" unit)
  set(bindir \"${CMAKE_INSTALL_BINDIR}\")
  if(NOT IS_ABSOLUTE \"\${bindir}\")
    set(bindir \"\${CMAKE_INSTALL_PREFIX}/\${bindir}\")
  endif()
  string(REPLACE \"@OQ_BINDIR@\" \"\${bindir}\" unit \"\${unit}\")
  file(WRITE \"${CMAKE_BINARY_DIR}/install-staging/oq-record.service\" \"\${unit}\")
  set(unitdir \"${OQ_SYSTEMD_USER_UNIT_DIR}\")
  if(NOT IS_ABSOLUTE \"\${unitdir}\")
    set(unitdir \"\${CMAKE_INSTALL_PREFIX}/\${unitdir}\")
  endif()
  file(INSTALL DESTINATION \"\${unitdir}\" TYPE FILE FILES \"${CMAKE_BINARY_DIR}/install-staging/oq-record.service\")
")

# ---- Debian package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME oq-online)
set(CPACK_PACKAGE_VENDOR Orbel-Quist)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orbel-Quist Online maintainers <maintainers@oq-online.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live reading of Orbel-Quist USB Geiger counters")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Orbel-Quist Online shows the dose rate or accumulated dose of an Orbel-Quist
hand-held Geiger counter attached over USB, in large figures coloured by the
user's warning and danger thresholds, in sievert or rem.

The package also holds oqtool, the command-line companion (device information,
live readings, CSV recording with a systemd user unit, protocol download, clock
setting, readings to an MQTT broker with Home Assistant discovery), and
oq-counter-sim, a simulated counter on a pseudo-terminal.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${OQ_BUILD_NUMBER})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Libraries the programs load at run time rather than link: the X11 and Wayland platform plugins,
# Qt's SQLite driver for the history, and Qt's own translations (its dialogs and key names). libmosquitto1 is found by shlibdeps too; named so a
# package built without it fails to install rather than to start.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland, libqt6sql6-sqlite, libmosquitto1, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
# The alarm sound of the desktop's sound theme; without it the display's bell rings.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-session-canberra")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${OQ_RESOURCES}/linux/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
