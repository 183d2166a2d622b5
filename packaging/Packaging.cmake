# Installation as a desktop program and the Debian package.
#
# `cmake --install` puts the program in bin/ and, under share/, the menu
# entry, the icon and the AppStream description, all named after the
# application id. `cpack` (in a built build folder) makes
# kalvaro_<version>_<arch>.deb from the same installation, with /usr as
# prefix; scripts/ci-package.sh makes it, installs it, starts the installed
# program and removes the package again.

include(GNUInstallDirs)

set(KALVARO_APP_ID io.github.kalvaro.Kalvaro)
# The day this version was released; the AppStream description carries it.
set(KALVARO_RELEASE_DATE 2026-12-08)

configure_file(${CMAKE_CURRENT_LIST_DIR}/${KALVARO_APP_ID}.metainfo.xml.in
               ${CMAKE_CURRENT_BINARY_DIR}/packaging/${KALVARO_APP_ID}.metainfo.xml @ONLY)

install(FILES ${CMAKE_CURRENT_LIST_DIR}/${KALVARO_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${KALVARO_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/${KALVARO_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kalvaro.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The licence, where Debian looks for a package's: /usr/share/doc/<package>/copyright.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kalvaro)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalvaro)
set(CPACK_PACKAGE_VENDOR "Kalvaro developers")
set(CPACK_PACKAGE_CONTACT "Kalvaro developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "two-port serial monitor")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps its debugging information; the package does not need it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kalvaro developers")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION "Kalvaro watches two serial ports at once and shows every byte received on
either port in one coloured view, as characters, hexadecimal or decimal
numbers. It echoes what it sends, shows and switches the modem lines, sends
typed values, plays scripts written in its own editor and saves captures.
A built-in virtual cable lets it be tried without serial hardware.")
# The libraries the program links come from dpkg-shlibdeps (dpkg-dev). The
# Qt platform plugins are loaded at run time, so no linker sees them; on
# Debian 12 the X11 one ships in libqt6gui6, which the program links anyway.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The windows ask for Courier New and MS Sans Serif; the Liberation fonts
# have their metrics, so captions and columns stay where they were laid out.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation")

include(CPack)
