# `make package`: a Debian package of what cmake/Install.cmake installs, its dependencies
# computed from the binaries by dpkg-shlibdeps (dpkg-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvane)
set(CPACK_PACKAGE_VENDOR Kavrin)
set(CPACK_PACKAGE_CONTACT "Kavrin <morvane@morvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tells whether an indicator formula uses future functions")
# Short lines: Debian wants the long description within 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "Morvane checks stock-chart indicator formulas (Tongdaxin style) for
future functions (未来函数): functions whose value at a bar depends on
later bars. It works in a window and on the command line (morvane-check),
and can replay a formula on bars to show an output rewriting its history.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${MORVANE_HOME_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so invisible to shlibdeps: the window cannot open without a platform
# plugin; its text is drawn for AR PL UMing; 编辑 and the links go through xdg-open.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-arphic-uming, xdg-utils")
include(CPack)
