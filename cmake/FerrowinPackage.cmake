# The Debian package: everything `cmake --install` puts under /usr, stripped, with Depends computed
# by dpkg-shlibdeps from the libraries the programs link against. scripts/package builds it.
set(FERROWIN_PACKAGE_MAINTAINER "Ferrowin developers <ferrowin@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ferrowin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zavel")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "low-latency game-streaming host")
set(CPACK_PACKAGE_DESCRIPTION
    "Ferrowin streams this computer's games and desktop to one paired client app over the local
network: HEVC video and Opus audio out; gamepad, touch-mouse, keyboard and text input back in,
through virtual HID devices and synthesized events.

The package has the host (ferrowin-server, also a systemd user service), its input helper, the
reference client (ferrowin-client) and a udev rule that lets the user at the seat create the
virtual gamepad and mouse (/dev/uhid).")
set(CPACK_STRIP_FILES ON)
# The install runs with DESTDIR and the real prefix, so files that name the prefix (the user
# unit's ExecStart) name /usr and not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${FERROWIN_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Libraries loaded at run time as plugins, which dpkg-shlibdeps cannot see: the catalog's icons
# go through gdk-pixbuf, whose SVG loader comes with librsvg.
if(TARGET ferrowin_platform_applications)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "librsvg2-common")
endif()
# Bonjour advertising needs the Avahi daemon; without it clients connect by address.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
