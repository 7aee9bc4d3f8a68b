# The Debian package: `cpack -G DEB` in a build folder makes tovali_<version>_amd64.deb.
set(CPACK_PACKAGE_NAME tovali)
set(CPACK_PACKAGE_VENDOR "The Tovali developers")
set(CPACK_PACKAGE_CONTACT "${TOVALI_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "move the pointer from a paired smart watch")
# CPack puts the summary first and indents these lines under it; an empty line parts paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tovali is a tray application that lets a paired smart watch move the
pointer, click and scroll over Bluetooth LE. A watch pairs once, after the
user compares a six-digit code on both screens.

It needs an adapter that supports Bluetooth LE, bluetoothd and an X11
session; 'tovali --diagnose' says what is missing.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOVALI_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TOVALI_HOMEPAGE}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries come from what the program links; bluetoothd is reached over D-Bus.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bluez")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-keyring")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR OFF)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};Tovali;ALL;/")
include(CPack)
